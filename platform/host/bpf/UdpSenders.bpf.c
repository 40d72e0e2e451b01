// Records, for every UDP socket, the process that last connected it or
// sent a datagram with an address on it: keyed by the socket's cookie,
// written before the datagram leaves, so the entry is there when the
// datagram is received. Cgroup socket-address hooks, attached to the root
// of the cgroup v2 tree so that they see every process.
// Beside it, counts of the changes that may give an address another owner,
// which the proxy maps and reads: one at the index of a local port for each
// socket bound to it, one at the index of a socket's cookie (its low 16
// bits) for each new sender on it and for its release. An owner found for
// an address stands while the counts of its port and its cookie stay.
// And, by local port, the socket a datagram last left from with its
// sender, written before the datagram leaves: the proxy reads it from a
// shared mapping, without asking the kernel which socket holds the port.
#include <linux/types.h>
#include <linux/bpf.h>
#include <linux/in.h>
#include <linux/if_ether.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "UdpSenders.h"

#ifndef SOCK_DGRAM
#define SOCK_DGRAM 2
#endif

struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, UDP_SENDERS_MAX_ENTRIES);
  __type(key, __u64);
  __type(value, struct udp_sender);
} udp_senders SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, UDP_PORTS);
  __uint(map_flags, BPF_F_MMAPABLE);
  __type(key, __u32);
  __type(value, __u64);  // an array's values are 8 bytes apart in the mapping
} udp_changes SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, UDP_PORT_SENDERS);
  __uint(map_flags, BPF_F_MMAPABLE);
  __type(key, __u32);
  __type(value, struct udp_port_sender);
} udp_port_senders SEC(".maps");

static __always_inline void changed(__u64 index) {
  __u32 key = index & (UDP_PORTS - 1);
  __u64 *count = bpf_map_lookup_elem(&udp_changes, &key);
  if (count) __sync_fetch_and_add(count, 1);
}

// A process whose own sockets are not recorded (the proxy's: one per
// resolver connection would crowd its clients' out of the map); set at load.
const volatile __u32 unrecorded_tgid = 0;

static __always_inline void record(struct bpf_sock_addr *ctx) {
  __u32 tgid = bpf_get_current_pid_tgid() >> 32;
  if (tgid == unrecorded_tgid) return;
  __u64 cookie = bpf_get_socket_cookie(ctx);
  struct udp_sender *known = bpf_map_lookup_elem(&udp_senders, &cookie);
  // Most sends come from the socket's last sender: nothing to write.
  if (known && known->tgid == tgid) return;
  struct udp_sender sender = {};
  sender.tgid = tgid;
  sender.boottime = bpf_ktime_get_boot_ns();
  bpf_get_current_comm(sender.comm, sizeof sender.comm);
  bpf_map_update_elem(&udp_senders, &cookie, &sender, BPF_ANY);
  changed(cookie);
}

SEC("cgroup/sendmsg4")
int udp4_sendmsg(struct bpf_sock_addr *ctx) {
  record(ctx);
  return 1;
}

SEC("cgroup/sendmsg6")
int udp6_sendmsg(struct bpf_sock_addr *ctx) {
  record(ctx);
  return 1;
}

SEC("cgroup/connect4")
int udp4_connect(struct bpf_sock_addr *ctx) {
  if (ctx->protocol == IPPROTO_UDP) record(ctx);
  return 1;
}

SEC("cgroup/connect6")
int udp6_connect(struct bpf_sock_addr *ctx) {
  if (ctx->protocol == IPPROTO_UDP) record(ctx);
  return 1;
}

SEC("cgroup/post_bind4")
int udp4_bind(struct bpf_sock *sk) {
  if (sk->protocol == IPPROTO_UDP) changed(sk->src_port);
  return 1;
}

SEC("cgroup/post_bind6")
int udp6_bind(struct bpf_sock *sk) {
  if (sk->protocol == IPPROTO_UDP) changed(sk->src_port);
  return 1;
}

// The local port each recorded socket's entry is at, so that its release,
// which does not see the port, can clear it.
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, UDP_SENDERS_MAX_ENTRIES);
  __type(key, __u64);
  __type(value, __u32);
} udp_port_cookies SEC(".maps");

static __always_inline int same_sender(struct udp_port_sender *entry, struct udp_sender *sender) {
  if (!sender) return entry->tgid == 0;
  return entry->tgid == sender->tgid && entry->boottime == sender->boottime;
}

// For good: the port's datagrams may be another socket's than the one noted.
static __always_inline void mark_shared(struct udp_port_sender *entry) { __sync_fetch_and_or(&entry->shared, 1); }

// A socket other than this one is noted, and may still be open.
static __always_inline int noted_other(struct udp_port_sender *entry, __u64 cookie) {
  return entry->cookie != 0 && entry->cookie != cookie;
}

// Writers take the entry by moving `seq` from even to odd; one that finds
// it taken marks the port shared rather than wait.
static __always_inline int take(struct udp_port_sender *entry) {
  __u64 seq = entry->seq;
  if ((seq & 1) == 0 && __sync_val_compare_and_swap(&entry->seq, seq, seq + 1) == seq) return 1;
  mark_shared(entry);
  return 0;
}

static __always_inline void give_back(struct udp_port_sender *entry) { __sync_fetch_and_add(&entry->seq, 1); }

// The datagram's source address as it leaves, in network order.
static __always_inline int source_address(struct __sk_buff *skb, int ipv6, __u32 address[4]) {
  address[0] = address[1] = address[2] = address[3] = 0;
  if (ipv6) return bpf_skb_load_bytes(skb, 8, address, 16);  // ipv6hdr.saddr
  return bpf_skb_load_bytes(skb, 12, address, 4);             // iphdr.saddr
}

static __always_inline int same_address(struct udp_port_sender *entry, const __u32 address[4]) {
  return entry->address[0] == address[0] && entry->address[1] == address[1] && entry->address[2] == address[2] &&
         entry->address[3] == address[3];
}

SEC("cgroup_skb/egress")
int udp_egress(struct __sk_buff *skb) {
  struct bpf_sock *sk = skb->sk;
  if (!sk) return 1;
  sk = bpf_sk_fullsock(sk);
  if (!sk || sk->protocol != IPPROTO_UDP || sk->type != SOCK_DGRAM) return 1;
  // The proxy's own datagrams are never looked up.
  if (unrecorded_tgid != 0 && (bpf_get_current_pid_tgid() >> 32) == unrecorded_tgid) return 1;
  int ipv6 = skb->protocol == bpf_htons(ETH_P_IPV6);
  if (!ipv6 && skb->protocol != bpf_htons(ETH_P_IP)) return 1;
  __u32 port = sk->src_port & (UDP_PORTS - 1);
  __u32 index = port + (ipv6 ? UDP_PORTS : 0);
  struct udp_port_sender *entry = bpf_map_lookup_elem(&udp_port_senders, &index);
  if (!entry || entry->shared) return 1;
  __u64 cookie = bpf_get_socket_cookie(skb);
  struct udp_sender *sender = bpf_map_lookup_elem(&udp_senders, &cookie);
  __u32 address[4];
  if (source_address(skb, ipv6, address) != 0) {
    mark_shared(entry);
    return 1;
  }
  // Most datagrams leave as the one before them did: nothing to write.
  if (entry->cookie == cookie && same_sender(entry, sender) && same_address(entry, address)) return 1;
  if (noted_other(entry, cookie)) {
    mark_shared(entry);
    return 1;
  }
  // A socket whose sender is unknown is noted too (with none), so that
  // another socket's later datagram from the port is seen to share it.
  // Where its release finds it; without that, the port is marked shared.
  if (entry->cookie == 0 && bpf_map_update_elem(&udp_port_cookies, &cookie, &port, BPF_ANY) != 0) {
    mark_shared(entry);
    return 1;
  }
  if (!take(entry)) return 1;
  if (noted_other(entry, cookie)) {  // noted by another writer meanwhile
    mark_shared(entry);
  } else {
    entry->cookie = cookie;
    entry->tgid = sender ? sender->tgid : 0;
    entry->boottime = sender ? sender->boottime : 0;
    if (sender) __builtin_memcpy(entry->comm, sender->comm, sizeof entry->comm);
    else __builtin_memset(entry->comm, 0, sizeof entry->comm);
    __builtin_memcpy(entry->address, address, sizeof entry->address);
  }
  give_back(entry);
  return 1;
}

// A released socket's port entries no longer name it.
static __always_inline void forget_port(__u32 index, __u64 cookie) {
  struct udp_port_sender *entry = bpf_map_lookup_elem(&udp_port_senders, &index);
  if (!entry || entry->cookie != cookie || !take(entry)) return;
  if (entry->cookie == cookie) {
    entry->cookie = 0;
    entry->tgid = 0;
  }
  give_back(entry);
}

// The record goes first, then the count: a reader that saw the count
// before it moved and then the record has seen the socket still open.
SEC("cgroup/sock_release")
int udp_release(struct bpf_sock *sk) {
  if (sk->protocol != IPPROTO_UDP) return 1;
  __u64 cookie = bpf_get_socket_cookie(sk);
  bpf_map_delete_elem(&udp_senders, &cookie);
  __u32 *port = bpf_map_lookup_elem(&udp_port_cookies, &cookie);
  if (port) {
    // An IPv6 socket may have sent IPv4 datagrams too.
    __u32 v4 = *port & (UDP_PORTS - 1);
    forget_port(v4, cookie);
    forget_port(v4 + UDP_PORTS, cookie);
    bpf_map_delete_elem(&udp_port_cookies, &cookie);
  }
  changed(cookie);
  return 1;
}

char LICENSE[] SEC("license") = "GPL";
