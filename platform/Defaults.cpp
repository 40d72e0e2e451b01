#include "platform/Defaults.h"

#include <cstdlib>

namespace platform {

std::string vardenoRoot() {
  if (const char* root = std::getenv("VARDENO_ROOT"); root && *root) return root;
  return "/var/lib/vardeno";
}

UserDefaults::UserDefaults(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return nullptr;
  return std::make_shared<UserDefaults>(name, vardenoRoot() + "/defaults/" + name + ".json");
}

std::shared_ptr<UserDefaults> UserDefaults::standard(const std::string& bundleId) { return suite(bundleId); }

nlohmann::json UserDefaults::load() const { return nlohmann::json::object(); }
std::optional<std::string> UserDefaults::string(const std::string&) const { return std::nullopt; }
bool UserDefaults::boolValue(const std::string&) const { return false; }
int64_t UserDefaults::integer(const std::string&) const { return 0; }
double UserDefaults::doubleValue(const std::string&) const { return 0; }
std::optional<nlohmann::json> UserDefaults::dictionary(const std::string&) const { return std::nullopt; }
std::optional<nlohmann::json> UserDefaults::array(const std::string&) const { return std::nullopt; }
std::optional<nlohmann::json> UserDefaults::object(const std::string&) const { return std::nullopt; }
nlohmann::json UserDefaults::dictionaryRepresentation() const { return load(); }
bool UserDefaults::set(const std::string&, const nlohmann::json&) { return false; }
bool UserDefaults::remove(const std::string&) { return false; }

}  // namespace platform
