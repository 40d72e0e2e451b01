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
#include <linux/types.h>
#include <linux/bpf.h>
#include <linux/in.h>
#include <bpf/bpf_helpers.h>

#include "UdpSenders.h"

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

// The record goes first, then the count: a reader that saw the count
// before it moved and then the record has seen the socket still open.
SEC("cgroup/sock_release")
int udp_release(struct bpf_sock *sk) {
  if (sk->protocol != IPPROTO_UDP) return 1;
  __u64 cookie = bpf_get_socket_cookie(sk);
  bpf_map_delete_elem(&udp_senders, &cookie);
  changed(cookie);
  return 1;
}

char LICENSE[] SEC("license") = "GPL";
