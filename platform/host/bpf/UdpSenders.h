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

// Value of the map "udp_senders", keyed by socket cookie (u64).
struct udp_sender {
  udp_senders_u32 tgid;      // the sending process
  udp_senders_u32 reserved;
  udp_senders_u64 boottime;  // when it was recorded, ns since boot: a process started later is not it
  char comm[16];             // the sending thread's command name
};
