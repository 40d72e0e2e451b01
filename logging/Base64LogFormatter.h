#pragma once
// The message as standard Base64 text.
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/LogFormatterProtocol.h"

namespace qmlogger {

class Base64LogFormatter : public LogFormatterProtocol {
 public:
  std::string format(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override { return "Base64LogFormatter"; }
};

std::string base64Encode(std::string_view bytes);

}  // namespace qmlogger
