#pragma once
// Reads the addresses a program prints on its first line: "listening on A B ...".
#include <sstream>
#include <string>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace testing_support {

inline std::vector<platform::SocketAddress> boundAddresses(const std::string& firstLine) {
  std::vector<platform::SocketAddress> out;
  const std::string prefix = "listening on ";
  if (firstLine.rfind(prefix, 0) != 0) return out;
  std::istringstream words(firstLine.substr(prefix.size()));
  std::string word;
  while (words >> word)
    if (auto a = platform::SocketAddress::parse(word)) out.push_back(*a);
  return out;
}

}  // namespace testing_support
