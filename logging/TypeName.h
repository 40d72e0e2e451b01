#pragma once
// Unqualified class name of an object's dynamic type, as descriptions print it.
#include <string>
#include <typeinfo>

namespace qmlogger {

std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace qmlogger
