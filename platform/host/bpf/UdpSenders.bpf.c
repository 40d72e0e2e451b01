// Records, for every UDP socket, the process that last connected it or
// sent a datagram with an address on it: keyed by the socket's cookie,
// written before the datagram leaves, so the entry is there when the
// datagram is received. Cgroup socket-address hooks, attached to the root
// of the cgroup v2 tree so that they see every process.
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

static __always_inline void record(struct bpf_sock_addr *ctx) {
  __u64 cookie = bpf_get_socket_cookie(ctx);
  __u32 tgid = bpf_get_current_pid_tgid() >> 32;
  struct udp_sender *known = bpf_map_lookup_elem(&udp_senders, &cookie);
  // Most sends come from the socket's last sender: nothing to write.
  if (known && known->tgid == tgid) return;
  struct udp_sender sender = {};
  sender.tgid = tgid;
  sender.boottime = bpf_ktime_get_boot_ns();
  bpf_get_current_comm(sender.comm, sizeof sender.comm);
  bpf_map_update_elem(&udp_senders, &cookie, &sender, BPF_ANY);
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

char LICENSE[] SEC("license") = "GPL";
