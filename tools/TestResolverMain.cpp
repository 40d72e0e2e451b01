// A small resolver for demos and tests: answers A queries with a fixed
// address (and TXT/MX with fixed records when asked to) and prints the
// EDNS(0) options every query carried.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dns/value/WireWriter.h"
#include "platform/network/SocketAddress.h"
#include "tools/DnsQueryInspector.h"

namespace {

struct Settings {
  std::string listen = "127.0.0.1:0";
  std::string address = "192.0.2.10";
  std::vector<std::string> txt;
  std::optional<std::pair<uint16_t, std::string>> mx;  // preference, first label of the exchange
  bool ad = false;
  bool silent = false;
};

const char* kUsage =
    "usage: vardeno-test-resolver [--listen ADDR:PORT] [--a IPV4] [--txt TEXT]... [--mx PREF:LABEL]\n"
    "                             [--ad] [--silent]\n"
    "  --listen ADDR:PORT  where to answer (default 127.0.0.1:0: a free port); the first\n"
    "                      output line is \"listening on ADDR:PORT\"\n"
    "  --a IPV4            address of every A answer (default 192.0.2.10)\n"
    "  --txt TEXT          TXT answers carry these strings, in order, in one record\n"
    "  --mx PREF:LABEL     MX answers: LABEL.<query name>, written compressed\n"
    "  --ad                set the AD bit in answers\n"
    "  --silent            print queries, answer none\n";

std::string printable(const std::string& value) {
  bool text = !value.empty();
  for (unsigned char c : value) text = text && c >= 0x20 && c < 0x7F && c != '"';
  if (text) return "\"" + value + "\"";
  static const char* hex = "0123456789abcdef";
  std::string out = "0x";
  for (unsigned char c : value) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

void answerHeader(dnswire::WireWriter& w, const vardenotools::InspectedMessage& q, uint16_t answers, bool ad) {
  w.u16(q.id);
  uint16_t flags = static_cast<uint16_t>(0x8000 | (q.flags & 0x7900) | 0x0080);  // QR, opcode+RD kept, RA
  if (ad) flags |= 0x0020;
  w.u16(flags);
  w.u16(1);
  w.u16(answers);
  w.u16(0);
  w.u16(0);
}

std::vector<uint8_t> buildAnswer(const std::vector<uint8_t>& query, const vardenotools::InspectedMessage& q,
                                 const Settings& s) {
  dnswire::WireWriter w(512);
  std::vector<uint8_t> rdata;
  uint16_t type = q.type;
  bool answer = false;
  if (type == 1) {
    in_addr a{};
    inet_pton(AF_INET, s.address.c_str(), &a);
    auto* b = reinterpret_cast<uint8_t*>(&a);
    rdata.assign(b, b + 4);
    answer = true;
  } else if (type == 16 && !s.txt.empty()) {
    for (const auto& t : s.txt) {
      rdata.push_back(static_cast<uint8_t>(std::min<size_t>(t.size(), 255)));
      rdata.insert(rdata.end(), t.begin(), t.begin() + std::min<size_t>(t.size(), 255));
    }
    answer = true;
  } else if (type == 15 && s.mx) {
    rdata.push_back(static_cast<uint8_t>(s.mx->first >> 8));
    rdata.push_back(static_cast<uint8_t>(s.mx->first));
    rdata.push_back(static_cast<uint8_t>(s.mx->second.size()));
    rdata.insert(rdata.end(), s.mx->second.begin(), s.mx->second.end());
    rdata.push_back(0xC0);  // then the query name, by pointer
    rdata.push_back(12);
    answer = true;
  }
  answerHeader(w, q, answer ? 1 : 0, s.ad);
  w.bytes(std::span<const uint8_t>(query.data() + 12, q.questionEnd - 12));
  if (answer) {
    w.u16(0xC00C);
    w.u16(type);
    w.u16(1);
    w.u32(60);
    w.u16(static_cast<uint16_t>(rdata.size()));
    w.bytes(rdata);
  }
  return w.take();
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--listen") s.listen = value();
    else if (arg == "--a") s.address = value();
    else if (arg == "--txt") s.txt.push_back(value());
    else if (arg == "--mx") {
      auto v = value();
      auto colon = v.find(':');
      if (colon == std::string::npos || colon + 1 >= v.size() || v.size() - colon - 1 > 63) {
        std::fprintf(stderr, "--mx needs PREF:LABEL\n");
        return 2;
      }
      s.mx = std::make_pair(static_cast<uint16_t>(std::stoi(v.substr(0, colon))), v.substr(colon + 1));
    } else if (arg == "--ad") s.ad = true;
    else if (arg == "--silent") s.silent = true;
    else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "unknown option: %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  in_addr probe{};
  auto listen = platform::SocketAddress::parse(s.listen);
  if (!listen || inet_pton(AF_INET, s.address.c_str(), &probe) != 1) {
    std::fprintf(stderr, "bad --listen or --a\n%s", kUsage);
    return 2;
  }
  int fd = socket(listen->family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, listen->sockaddrPtr(), listen->length()) != 0) {
    std::fprintf(stderr, "cannot listen on %s: %s\n", s.listen.c_str(), std::strerror(errno));
    return 1;
  }
  platform::SocketAddress bound;
  socklen_t length = sizeof(sockaddr_storage);
  getsockname(fd, bound.sockaddrPtr(), &length);
  std::printf("listening on %s\n", bound.description().c_str());
  std::fflush(stdout);

  std::vector<uint8_t> buffer(65536);
  for (;;) {
    platform::SocketAddress peer;
    socklen_t peerLength = sizeof(sockaddr_storage);
    ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, peer.sockaddrPtr(), &peerLength);
    if (n < 0) continue;
    std::vector<uint8_t> query(buffer.begin(), buffer.begin() + n);
    auto q = vardenotools::inspect(query);
    if (!q || (q->flags & 0x8000) || q->name.empty()) {
      std::printf("malformed datagram of %zd bytes from %s\n", n, peer.description().c_str());
      std::fflush(stdout);
      continue;
    }
    std::string line = "query id=" + std::to_string(q->id) + " name=" + q->name + " type=" + std::to_string(q->type) +
                       " from=" + peer.description() + " options=";
    if (!q->hasOpt) line += "none";
    for (size_t i = 0; i < q->options.size(); ++i)
      line += (i ? "," : "") + std::to_string(q->options[i].first) + ":" + printable(q->options[i].second);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (s.silent) continue;
    auto reply = buildAnswer(query, *q, s);
    sendto(fd, reply.data(), reply.size(), 0, peer.sockaddrPtr(), peerLength);
  }
}
