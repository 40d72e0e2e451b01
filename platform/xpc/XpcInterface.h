#pragma once
// What an XPC connection exports: the protocol's methods by selector and the
// object that answers them.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

enum class XpcArgument { text, replyBlock };

struct XpcMethod {
  std::string selector;                 // "getPublicIpWithReply:"
  std::vector<XpcArgument> arguments;   // a reply block, if any, comes last
  bool takesReply() const { return !arguments.empty() && arguments.back() == XpcArgument::replyBlock; }
};

struct XpcInterface {
  std::string protocolName;
  std::vector<XpcMethod> methods;

  const XpcMethod* method(std::string_view selector) const {
    for (const auto& m : methods)
      if (m.selector == selector) return &m;
    return nullptr;
  }
};

// Takes the reply block's arguments. Only the first call counts.
using XpcReplyBlock = std::function<void(nlohmann::json arguments)>;

class XpcExportedObject {
 public:
  virtual ~XpcExportedObject() = default;
  // Runs on the connection's queue. `arguments` are the checked non-block
  // arguments in order; `reply` is empty unless the method takes a block.
  virtual void invoke(const std::string& selector, const nlohmann::json& arguments, XpcReplyBlock reply) = 0;
};

}  // namespace platform
