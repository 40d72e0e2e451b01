#include "dns/object/UrlHost.h"

namespace DnsObjects {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::string> urlHost(std::string_view text) {
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ), then "://"
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) return std::nullopt;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  if (text.substr(colon + 1, 2) != "//") return std::nullopt;
  std::string_view authority = text.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host;
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    rest = authority.substr(close + 1);
  } else {
    const size_t portColon = authority.find(':');
    host = authority.substr(0, portColon);
    rest = portColon == std::string_view::npos ? std::string_view{} : authority.substr(portColon);
  }
  // Whatever follows the host may only be a port.
  if (!rest.empty()) {
    if (rest.front() != ':') return std::nullopt;
    for (char c : rest.substr(1))
      if (!isDigit(c)) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  for (unsigned char c : host)
    if (c <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"' || c == '\\' || c == '^' || c == '`' ||
        c == '{' || c == '|' || c == '}' || c == '%' || c == '[' || c == ']')
      return std::nullopt;
  return std::string(host);
}

}  // namespace DnsObjects
