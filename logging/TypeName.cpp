#include "logging/TypeName.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace qmlogger {

std::string unqualifiedTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                   std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  // Drop namespaces, but not "::" inside template arguments.
  const size_t angle = name.find('<');
  const size_t colons = name.rfind("::", angle == std::string::npos ? std::string::npos : angle);
  if (colons != std::string::npos) name.erase(0, colons + 2);
  return name;
}

}  // namespace qmlogger
