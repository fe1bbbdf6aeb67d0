/* Counts, in the kernel, the payload bytes that the processes of metered cgroups move through
 * AF_INET and AF_INET6 sockets, as the socket calls return them: every send and receive of a
 * socket passes these two tracepoints, whichever call (or libc-internal path, or static
 * program) made it. One pair of programs serves every job of a host, so that a socket call
 * costs one lookup however many jobs run. */
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

/* A job's count: one 64-bit figure that the job reads through a mapping. */
struct job_bytes {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __uint(map_flags, BPF_F_MMAPABLE);
  __type(key, __u32);
  __type(value, __u64);
};

/* The metered cgroups by id, each with its job's count. The name carries the layout's
 * version: a job finds the programs of an earlier layout unfit and loads its own. */
struct {
  __uint(type, BPF_MAP_TYPE_HASH_OF_MAPS);
  __uint(max_entries, 65536);
  __type(key, __u64);
  __array(values, struct job_bytes);
} zentra_meters1 SEC(".maps");

static __always_inline void count(struct sock *sk, int ret) {
  if (ret <= 0 || !sk) return;
  unsigned short family = sk->__sk_common.skc_family;
  if (family != AF_INET && family != AF_INET6) return;
  __u64 cgroup = bpf_get_current_cgroup_id();
  void *job = bpf_map_lookup_elem(&zentra_meters1, &cgroup);
  if (!job) return;
  __u32 first = 0;
  __u64 *bytes = bpf_map_lookup_elem(job, &first);
  if (bytes) __sync_fetch_and_add(bytes, (__u64)ret);
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(zentra_sent, struct sock *sk, int ret, int flags) {
  count(sk, ret);
  return 0;
}

/* A peek or an error-queue read hands no data over: the library does not count them either. */
SEC("tp_btf/sock_recv_length")
int BPF_PROG(zentra_received, struct sock *sk, int ret, int flags) {
  if (!(flags & (MSG_PEEK | MSG_ERRQUEUE))) count(sk, ret);
  return 0;
}

char LICENSE[] SEC("license") = "GPL";
