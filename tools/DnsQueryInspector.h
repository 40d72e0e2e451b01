#pragma once
// Reads what a test needs out of a DNS message: the ID, flags, the first
// question and the EDNS(0) options of its OPT record. Never reads past
// the buffer; a malformed message gives none.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dns/value/WireReader.h"

namespace vardenotools {

struct InspectedMessage {
  uint16_t id = 0;
  uint16_t flags = 0;
  std::string name;  // first question, dotted, with the final "."
  uint16_t type = 0;
  size_t questionEnd = 0;  // offset after the first question
  uint16_t answerCount = 0;
  bool hasOpt = false;
  std::vector<std::pair<uint16_t, std::string>> options;  // in wire order

  std::optional<std::string> option(uint16_t code) const {
    for (const auto& [c, v] : options)
      if (c == code) return v;
    return std::nullopt;
  }
};

// Name at the reader's offset; follows pointers with a hop limit.
inline std::optional<std::string> readName(dnswire::WireReader& reader) {
  std::string name;
  size_t at = reader.offset();
  std::optional<size_t> resume;
  for (int hops = 0; hops < 64;) {
    auto length = reader.u8At(at);
    if (!length) return std::nullopt;
    if ((*length & 0xC0) == 0xC0) {
      auto pointer = reader.u16At(at);
      if (!pointer) return std::nullopt;
      if (!resume) resume = at + 2;
      at = *pointer & 0x3FFF;
      ++hops;
      continue;
    }
    if (*length & 0xC0) return std::nullopt;
    if (*length == 0) {
      if (!reader.seek(resume ? *resume : at + 1)) return std::nullopt;
      return name.empty() ? std::string(".") : name;
    }
    for (size_t i = 0; i < *length; ++i) {
      auto c = reader.u8At(at + 1 + i);
      if (!c) return std::nullopt;
      name.push_back(static_cast<char>(*c));
    }
    name.push_back('.');
    if (name.size() > 255) return std::nullopt;
    at += 1 + *length;
  }
  return std::nullopt;
}

inline bool skipRecord(dnswire::WireReader& reader, uint16_t* typeOut = nullptr,
                       std::span<const uint8_t>* rdataOut = nullptr) {
  if (!readName(reader)) return false;
  auto type = reader.u16();
  if (!type || !reader.skip(6)) return false;
  auto length = reader.u16();
  if (!length) return false;
  auto rdata = reader.bytes(*length);
  if (!rdata) return false;
  if (typeOut) *typeOut = *type;
  if (rdataOut) *rdataOut = *rdata;
  return true;
}

inline std::optional<InspectedMessage> inspect(std::span<const uint8_t> data) {
  dnswire::WireReader reader(data);
  InspectedMessage m;
  auto id = reader.u16(), flags = reader.u16(), qd = reader.u16(), an = reader.u16(), ns = reader.u16(),
       ar = reader.u16();
  if (!ar) return std::nullopt;
  m.id = *id;
  m.flags = *flags;
  m.answerCount = *an;
  for (uint16_t i = 0; i < *qd; ++i) {
    auto name = readName(reader);
    auto type = reader.u16();
    if (!name || !type || !reader.skip(2)) return std::nullopt;
    if (i == 0) {
      m.name = *name;
      m.type = *type;
      m.questionEnd = reader.offset();
    }
  }
  for (uint32_t i = 0; i < uint32_t{*an} + *ns; ++i)
    if (!skipRecord(reader)) return std::nullopt;
  for (uint16_t i = 0; i < *ar; ++i) {
    uint16_t type = 0;
    std::span<const uint8_t> rdata;
    if (!skipRecord(reader, &type, &rdata)) return std::nullopt;
    if (type != 41) continue;
    m.hasOpt = true;
    dnswire::WireReader options(rdata);
    while (!options.atEnd()) {
      auto code = options.u16(), length = options.u16();
      if (!length) return std::nullopt;
      auto value = options.bytes(*length);
      if (!value) return std::nullopt;
      m.options.emplace_back(*code, std::string(value->begin(), value->end()));
    }
  }
  return m;
}

}  // namespace vardenotools
