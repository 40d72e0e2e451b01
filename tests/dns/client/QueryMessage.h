#pragma once
// A recursive type-A query for the resolver client tests.
#include <cstdint>
#include <string>
#include <vector>

#include "dns/value/Message.h"

namespace clienttest {

inline std::vector<uint8_t> query(uint16_t id, const std::string& name) {
  DnsToolsSocket::Message m;
  m.id = id;
  m.recursionDesired = true;
  m.questions.push_back(DnsToolsSocket::Question{name, 1, false, 1});
  return m.serialize();
}

}  // namespace clienttest
