/* The data calls: each counts the bytes that pass through a counted socket, and has a cut-off
 * variant that refuses counted sockets once the statistics channel has broken. All of them are
 * made from the rows of the table in calls.h. */
#define _GNU_SOURCE
#include <errno.h>

#include "statistics.h"

/* Peeked bytes stay queued: they are counted when a later call takes them. The error queue
 * hands back what this socket sent earlier, counted when it was sent. */
enum { NOT_RECEIVED = MSG_PEEK | MSG_ERRQUEUE };
/* What a refused transfer reports: the counted network is gone for this process. */
enum { REFUSED_ERRNO = ENETDOWN };

/* Bytes carried by the first `sent` messages of a vector. */
static long long message_bytes(const struct mmsghdr *v, int sent) {
  long long total = 0;
  for (int i = 0; i < sent; ++i) total += v[i].msg_len;
  return total;
}

/* After cut-off: a counted socket, or a descriptor that the table cannot vouch for. */
static int refused(int fd) {
  if ((unsigned)fd >= TABLE_SIZE) return 1;
  return is_marked(fd) && still_counted(fd);
}

static int refuse(void) {
  errno = REFUSED_ERRNO;
  return -1;
}

/* The parts of a data call's `use`. */
#define COUNTS(fd, fd2, flags, bytes) \
  (!((flags) & NOT_RECEIVED) && (is_marked(fd) || ((fd2) != NO_FD && is_marked(fd2))))
#define BYTES(fd, fd2, flags, bytes) (bytes)
#define REFUSES(fd, fd2, flags, bytes) (refused(fd) || ((fd2) != NO_FD && refused(fd2)))

/* The first eight cut-off variants are exported under their names with "_p"; the rest are the
 * library's own. */
#define VARIANT_REQUIRED EXPORT
#define VARIANT_OPTIONAL static

#define DEFINE_DATA_CALL(name, need, group, ret, params, args, use, raw) \
  DEFINE_##group(name, need, ret, params, args, use)
#define DEFINE_OWN(...)
#define DEFINE_DATA(name, need, ret, params, args, use) \
  VARIANT_##need ret name##_p params { \
    if (REFUSES use) return refuse(); \
    return REAL(name) args; \
  } \
  EXPORT ret name params { \
    ret r = CALL(name) args; \
    if (r > 0 && COUNTS use) count_bytes(BYTES use); \
    return r; \
  }
STATISTICS_CALLS(DEFINE_DATA_CALL)

#define SWITCH_DATA_CALL(name, need, group, ...) SWITCH_##group(name)
#define SWITCH_OWN(name)
#define SWITCH_DATA(name) __atomic_store_n(&cur_##name, name##_p, __ATOMIC_RELAXED);

/* Nothing leads back: the counted network stays gone for the rest of the process's life. */
void enter_cutoff(void) {
  STATISTICS_CALLS(SWITCH_DATA_CALL)
}
