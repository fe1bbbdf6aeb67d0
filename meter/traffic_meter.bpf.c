/* Counts, in the kernel, the payload bytes that the processes of one cgroup move through
 * AF_INET and AF_INET6 sockets, as the socket calls return them: every send and receive of a
 * socket passes these two tracepoints, whichever call (or libc-internal path, or static
 * program) made it. */
#include <linux/bpf.h>
#include <linux/types.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#define AF_INET 2
#define AF_INET6 10
#define MSG_PEEK 0x2
#define MSG_ERRQUEUE 0x2000

/* Only the fields read here; the kernel's own layout is found at load. */
struct sock_common {
  unsigned short skc_family;
} __attribute__((preserve_access_index));

struct sock {
  struct sock_common __sk_common;
} __attribute__((preserve_access_index));

/* Set before load: the cgroup whose processes are counted. Only root can make cgroups below
 * it, and none does. */
const volatile __u64 counted_cgroup = 0;

/* Read through a mapping by the job; 64-bit, so they never wrap. */
__u64 sent_bytes = 0;
__u64 received_bytes = 0;

static __always_inline int counted(struct sock *sk, int ret) {
  if (ret <= 0 || !sk) return 0;
  if (bpf_get_current_cgroup_id() != counted_cgroup) return 0;
  unsigned short family = sk->__sk_common.skc_family;
  return family == AF_INET || family == AF_INET6;
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(count_sent, struct sock *sk, int ret, int flags) {
  if (counted(sk, ret)) __sync_fetch_and_add(&sent_bytes, (__u64)ret);
  return 0;
}

/* A peek or an error-queue read hands no data over: the library does not count them either. */
SEC("tp_btf/sock_recv_length")
int BPF_PROG(count_received, struct sock *sk, int ret, int flags) {
  if (!(flags & (MSG_PEEK | MSG_ERRQUEUE)) && counted(sk, ret)) __sync_fetch_and_add(&received_bytes, (__u64)ret);
  return 0;
}

char LICENSE[] SEC("license") = "GPL";
