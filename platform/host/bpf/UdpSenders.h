// The record of UDP senders that the BPF program keeps and the proxy reads.
#pragma once
#ifdef __cplusplus
#include <cstdint>
typedef uint32_t udp_senders_u32;
typedef uint64_t udp_senders_u64;
#else
typedef __u32 udp_senders_u32;
typedef __u64 udp_senders_u64;
#endif

#define UDP_SENDERS_MAX_ENTRIES 65536

// Entries of the map "udp_changes": u64 counts, indexed by a local port or
// the low 16 bits of a socket cookie.
#define UDP_PORTS 65536

// Entries of the map "udp_port_senders": the IPv4 local ports, then the
// IPv6 ones.
#define UDP_PORT_SENDERS (2 * UDP_PORTS)

// Value of the map "udp_port_senders", written when a datagram leaves a
// local port: the socket it left from, that socket's last sender and the
// datagram's source address (network order; IPv4 in the first word). `seq`
// is odd while the entry is written. `shared` is set, for good, once a
// datagram leaves the port from another socket than the one recorded (or
// while the entry is written): the port's datagrams may be any of theirs.
// `cookie` is 0 when no socket is recorded (none sent, or it was released),
// `tgid` 0 when the socket's sender is not recorded.
struct udp_port_sender {
  udp_senders_u64 seq;
  udp_senders_u64 cookie;
  udp_senders_u32 tgid;
  udp_senders_u32 shared;
  udp_senders_u64 boottime;
  char comm[16];
  udp_senders_u32 address[4];
};

// Value of the map "udp_senders", keyed by socket cookie (u64).
struct udp_sender {
  udp_senders_u32 tgid;      // the sending process
  udp_senders_u32 reserved;
  udp_senders_u64 boottime;  // when it was recorded, ns since boot: a process started later is not it
  char comm[16];             // the sending thread's command name
};
