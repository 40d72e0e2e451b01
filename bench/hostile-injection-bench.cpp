// EDNS(0) injection of a hostile query: a 65 KB datagram whose question name
// has 16,000 one-byte labels (or as many as given) and whose answers all point at that name.
// Prints the input and output sizes and the time of each round; run it under
// /usr/bin/time -v for the peak memory.
// Usage: hostile_injection_bench [rounds] [labels]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "dns/object/DNSParser.h"

namespace {

std::vector<uint8_t> hostileQuery(size_t labels) {
  std::vector<uint8_t> q = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0x00, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < labels; ++i) q.insert(q.end(), {0x01, 'a'});
  q.insert(q.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
  // Each answer: a pointer to the question name, type A, class IN, TTL 0, no data.
  const size_t answers = (0xFFFF - q.size()) / 12;
  for (size_t i = 0; i < answers; ++i) q.insert(q.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0});
  q[6] = static_cast<uint8_t>(answers >> 8);
  q[7] = static_cast<uint8_t>(answers);
  return q;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
  setenv("VARDENO_LOG", "off", 1);
  const size_t labels = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16'000;
  const auto query = hostileQuery(labels);
  const std::map<std::string, std::string> options{{"65001", "org"}, {"65015", "1700000000000"}};
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const auto out = DnsObjects::DNSParser::injectFlagsToDatagrams({query}, options);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("in %zu bytes, out %zu bytes (%s), %.1f ms\n", query.size(), out.front().size(),
                out.front() == query ? "as given" : "rewritten", ms);
  }
  return 0;
}
