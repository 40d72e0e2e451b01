#pragma once
// One entry of the question section.
#include <cstdint>
#include <string>

namespace DnsToolsSocket {

struct Question {
  std::string name;            // decoded names always end with "."
  uint16_t type = 0;
  bool unique = false;         // top bit of the class field; not written when encoding
  uint16_t internetClass = 0;  // class without its top bit

  std::string debugDescription() const;
};

}  // namespace DnsToolsSocket
