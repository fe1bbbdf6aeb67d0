/* Counts the bytes that the host process moves through internet sockets and reports them as
 * 8-byte records (kind, value) to the statistics file named by ZENTRA_STAT_FILE. Loaded with
 * LD_PRELOAD by the launcher; every interposed call goes on to libc's own function. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "exec_class.h"
#include "preload_class.h"

#define EXPORT __attribute__((visibility("default")))

enum { TABLE_SIZE = 256, THRESHOLD = 10240, KIND_TRAFFIC = 1, KIND_FILE = 2 };
/* Far above the descriptors that start scripts name explicitly (0 to 9). */
enum { STAT_FD_FLOOR = 100 };
/* What a refused transfer reports: the counted network is gone for this process. */
enum { REFUSED_ERRNO = ENETDOWN };

struct stat;
struct statx;

static int32_t marks[TABLE_SIZE];
static int32_t running;
static int stat_fd = -1;
static int steam_regime;
static const char *game_dir;
static const char *stat_file;

/* Real and current entry points. Current ones change only on entering the cut-off state. */
#define ENTRY(ret, name, params) \
  typedef ret (*name##_fn) params; \
  static name##_fn real_##name, cur_##name;

ENTRY(int, socket, (int, int, int))
ENTRY(int, close, (int))
ENTRY(int, accept, (int, __SOCKADDR_ARG, socklen_t *))
ENTRY(int, dup, (int))
ENTRY(int, dup2, (int, int))
ENTRY(ssize_t, read, (int, void *, size_t))
ENTRY(ssize_t, readv, (int, const struct iovec *, int))
ENTRY(ssize_t, recv, (int, void *, size_t, int))
ENTRY(ssize_t, recvfrom, (int, void *, size_t, int, __SOCKADDR_ARG, socklen_t *))
ENTRY(ssize_t, write, (int, const void *, size_t))
ENTRY(ssize_t, send, (int, const void *, size_t, int))
ENTRY(ssize_t, writev, (int, const struct iovec *, int))
ENTRY(ssize_t, sendto, (int, const void *, size_t, int, __CONST_SOCKADDR_ARG, socklen_t))
ENTRY(int, __xstat, (int, const char *, struct stat *))
ENTRY(int, __xstat64, (int, const char *, struct stat *))
/* Looked up as optional: present in today's libc, absent in older ones. */
ENTRY(int, accept4, (int, __SOCKADDR_ARG, socklen_t *, int))
ENTRY(int, dup3, (int, int, int))
ENTRY(int, close_range, (unsigned int, unsigned int, int))
ENTRY(void, closefrom, (int))
ENTRY(int, fcntl, (int, int, void *))
ENTRY(int, fcntl64, (int, int, void *))
ENTRY(int, __fcntl_time64, (int, int, void *))
ENTRY(ssize_t, recvmsg, (int, struct msghdr *, int))
ENTRY(ssize_t, sendmsg, (int, const struct msghdr *, int))
ENTRY(int, recvmmsg, (int, struct mmsghdr *, unsigned int, int, struct timespec *))
ENTRY(int, sendmmsg, (int, struct mmsghdr *, unsigned int, int))
/* The same calls as 32-bit programs built with a 64-bit time_t reach them. */
ENTRY(ssize_t, __recvmsg64, (int, struct msghdr *, int))
ENTRY(ssize_t, __sendmsg64, (int, const struct msghdr *, int))
ENTRY(int, __recvmmsg64, (int, struct mmsghdr *, unsigned int, int, struct timespec *))
ENTRY(int, __sendmmsg64, (int, struct mmsghdr *, unsigned int, int))
ENTRY(ssize_t, sendfile, (int, int, off_t *, size_t))
ENTRY(ssize_t, sendfile64, (int, int, off64_t *, size_t))
ENTRY(ssize_t, splice, (int, __off64_t *, int, __off64_t *, size_t, unsigned int))
ENTRY(ssize_t, __read_chk, (int, void *, size_t, size_t))
ENTRY(ssize_t, __recv_chk, (int, void *, size_t, size_t, int))
ENTRY(ssize_t, __recvfrom_chk, (int, void *, size_t, size_t, int, __SOCKADDR_ARG, socklen_t *))
ENTRY(int, stat, (const char *, struct stat *))
ENTRY(int, stat64, (const char *, struct stat *))
ENTRY(int, __stat64_time64, (const char *, struct stat *))
ENTRY(int, fstatat, (int, const char *, struct stat *, int))
ENTRY(int, fstatat64, (int, const char *, struct stat *, int))
ENTRY(int, __fstatat64_time64, (int, const char *, struct stat *, int))
ENTRY(int, statx, (int, const char *, int, unsigned int, struct statx *))
ENTRY(int, execve, (const char *, char *const[], char *const[]))
ENTRY(int, execvpe, (const char *, char *const[], char *const[]))
ENTRY(int, fexecve, (int, char *const[], char *const[]))
ENTRY(int, posix_spawn, (pid_t *, const char *, const posix_spawn_file_actions_t *,
                         const posix_spawnattr_t *, char *const[], char *const[]))
ENTRY(int, posix_spawnp, (pid_t *, const char *, const posix_spawn_file_actions_t *,
                          const posix_spawnattr_t *, char *const[], char *const[]))

static void statistics_load(void);

/* The current entry point of `name`. A constructor of another library may call in before this
 * library's own has run; the library then loads on that first call. */
#define CALL(name) (__builtin_expect(cur_##name != NULL, 1) ? cur_##name : load_for(&cur_##name))

static void *load_first(void *const *entry) {
  statistics_load();
  return *entry;
}
#define load_for(entry) ((__typeof__(*(entry)))load_first((void *const *)(entry)))

/* ---- messages and records ---- */

static void say(const char *text) {
  (void)!syscall(SYS_write, 2, text, strlen(text));
}

static void say_path(const char *before, const char *path, const char *after) {
  struct iovec parts[3] = {{(void *)before, strlen(before)},
                           {(void *)path, strlen(path)},
                           {(void *)after, strlen(after)}};
  (void)!syscall(SYS_writev, 2, parts, 3);
}

__attribute__((noreturn)) static void fail_load(const char *text) {
  say(text);
  _exit(1);
}

/* Writes one whole record with the real write; false when it could not be written. The
 * host's errno describes the host's own call, never the record's. */
static int write_record(int32_t kind, int32_t value) {
  int32_t record[2] = {kind, value};
  int saved = errno;
  ssize_t n;
  do n = real_write(stat_fd, record, sizeof record);
  while (n == -1 && errno == EINTR);
  errno = saved;
  return n == (ssize_t)sizeof record;
}

/* ---- descriptor table ---- */

static int is_marked(int fd) {
  return (unsigned)fd < TABLE_SIZE && marks[fd];
}

static void set_mark(int fd, int counted) {
  if ((unsigned)fd < TABLE_SIZE) marks[fd] = counted;
}

/* Marks a new counted descriptor; one that the table cannot hold is closed and refused. */
static int adopt_counted(int fd) {
  if (fd >= TABLE_SIZE) {
    real_close(fd);
    errno = EMFILE;
    return -1;
  }
  marks[fd] = 1;
  return fd;
}

/* A new descriptor takes the mark its origin deserves, replacing whatever its number had. */
static int adopt(int fd, int counted) {
  if (fd == -1) return fd;
  if (counted) return adopt_counted(fd);
  set_mark(fd, 0);
  return fd;
}

static int is_internet(int domain) {
  return domain == AF_INET || domain == AF_INET6;
}

static int is_internet_socket(int fd) {
  int domain = 0;
  socklen_t len = sizeof domain;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && is_internet(domain);
}

/* ---- counting and the cut-off state ---- */

static void enter_cutoff(void);

/* Writes `total` bytes as traffic records, each within the range of the record's value. */
static void report_traffic(long long total) {
  while (total > 0) {
    int32_t part = total > INT32_MAX ? INT32_MAX : (int32_t)total;
    if (!write_record(KIND_TRAFFIC, part)) {
      enter_cutoff();
      return;
    }
    total -= part;
  }
}

/* Adds n > 0 transferred bytes; reports the running count once it reaches the threshold. */
static void count_bytes(long long n) {
  if (n < THRESHOLD) {
    if (__atomic_add_fetch(&running, (int32_t)n, __ATOMIC_RELAXED) < THRESHOLD) return;
    n = 0;
  }
  long long total = n + __atomic_exchange_n(&running, 0, __ATOMIC_RELAXED);
  if (total < THRESHOLD) {
    /* Another thread reported in between; keep the remainder for later. */
    __atomic_add_fetch(&running, (int32_t)total, __ATOMIC_RELAXED);
    return;
  }
  report_traffic(total);
}

#define COUNTED(fd, result) \
  do { \
    if ((result) > 0 && is_marked(fd)) count_bytes(result); \
  } while (0)

/* Peeked bytes stay queued: they are counted when a later call takes them. The error queue
 * hands back what this socket sent earlier, counted when it was sent. */
enum { NOT_RECEIVED = MSG_PEEK | MSG_ERRQUEUE };
#define COUNTED_IF_RECEIVED(fd, result, flags) \
  do { \
    if (!((flags) & NOT_RECEIVED)) COUNTED(fd, result); \
  } while (0)

static int refused(int fd) {
  return (unsigned)fd >= TABLE_SIZE || marks[fd];
}

/* Cut-off variants: a counted socket (or a descriptor the table cannot vouch for) refuses. */
#define REFUSE_IF_COUNTED(fd) \
  do { \
    if (refused(fd)) { \
      errno = REFUSED_ERRNO; \
      return -1; \
    } \
  } while (0)

EXPORT ssize_t read_p(int fd, void *buf, size_t n) {
  REFUSE_IF_COUNTED(fd);
  return real_read(fd, buf, n);
}
EXPORT ssize_t readv_p(int fd, const struct iovec *iov, int count) {
  REFUSE_IF_COUNTED(fd);
  return real_readv(fd, iov, count);
}
EXPORT ssize_t recv_p(int fd, void *buf, size_t n, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real_recv(fd, buf, n, flags);
}
EXPORT ssize_t recvfrom_p(int fd, void *buf, size_t n, int flags, __SOCKADDR_ARG addr,
                          socklen_t *len) {
  REFUSE_IF_COUNTED(fd);
  return real_recvfrom(fd, buf, n, flags, addr, len);
}
EXPORT ssize_t write_p(int fd, const void *buf, size_t n) {
  REFUSE_IF_COUNTED(fd);
  return real_write(fd, buf, n);
}
EXPORT ssize_t send_p(int fd, const void *buf, size_t n, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real_send(fd, buf, n, flags);
}
EXPORT ssize_t writev_p(int fd, const struct iovec *iov, int count) {
  REFUSE_IF_COUNTED(fd);
  return real_writev(fd, iov, count);
}
EXPORT ssize_t sendto_p(int fd, const void *buf, size_t n, int flags, __CONST_SOCKADDR_ARG addr,
                        socklen_t len) {
  REFUSE_IF_COUNTED(fd);
  return real_sendto(fd, buf, n, flags, addr, len);
}
static ssize_t recvmsg_p(int fd, struct msghdr *msg, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real_recvmsg(fd, msg, flags);
}
static ssize_t sendmsg_p(int fd, const struct msghdr *msg, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real_sendmsg(fd, msg, flags);
}
static int recvmmsg_p(int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t) {
  REFUSE_IF_COUNTED(fd);
  return real_recvmmsg(fd, v, n, flags, t);
}
static int sendmmsg_p(int fd, struct mmsghdr *v, unsigned int n, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real_sendmmsg(fd, v, n, flags);
}
static ssize_t recvmsg64_p(int fd, struct msghdr *msg, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real___recvmsg64(fd, msg, flags);
}
static ssize_t sendmsg64_p(int fd, const struct msghdr *msg, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real___sendmsg64(fd, msg, flags);
}
static int recvmmsg64_p(int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t) {
  REFUSE_IF_COUNTED(fd);
  return real___recvmmsg64(fd, v, n, flags, t);
}
static int sendmmsg64_p(int fd, struct mmsghdr *v, unsigned int n, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real___sendmmsg64(fd, v, n, flags);
}
static ssize_t sendfile_p(int out, int in, off_t *offset, size_t n) {
  REFUSE_IF_COUNTED(out);
  REFUSE_IF_COUNTED(in);
  return real_sendfile(out, in, offset, n);
}
static ssize_t sendfile64_p(int out, int in, off64_t *offset, size_t n) {
  REFUSE_IF_COUNTED(out);
  REFUSE_IF_COUNTED(in);
  return real_sendfile64(out, in, offset, n);
}
static ssize_t splice_p(int in, __off64_t *in_offset, int out, __off64_t *out_offset, size_t n,
                        unsigned int flags) {
  REFUSE_IF_COUNTED(in);
  REFUSE_IF_COUNTED(out);
  return real_splice(in, in_offset, out, out_offset, n, flags);
}
static ssize_t read_chk_p(int fd, void *buf, size_t n, size_t size) {
  REFUSE_IF_COUNTED(fd);
  return real___read_chk(fd, buf, n, size);
}
static ssize_t recv_chk_p(int fd, void *buf, size_t n, size_t size, int flags) {
  REFUSE_IF_COUNTED(fd);
  return real___recv_chk(fd, buf, n, size, flags);
}
static ssize_t recvfrom_chk_p(int fd, void *buf, size_t n, size_t size, int flags,
                              __SOCKADDR_ARG addr, socklen_t *len) {
  REFUSE_IF_COUNTED(fd);
  return real___recvfrom_chk(fd, buf, n, size, flags, addr, len);
}

#define SWITCH(name, variant) __atomic_store_n(&cur_##name, variant, __ATOMIC_RELAXED)

/* For the rest of the process's life every data call refuses counted sockets. */
static void enter_cutoff(void) {
  SWITCH(read, read_p);
  SWITCH(readv, readv_p);
  SWITCH(recv, recv_p);
  SWITCH(recvfrom, recvfrom_p);
  SWITCH(write, write_p);
  SWITCH(send, send_p);
  SWITCH(writev, writev_p);
  SWITCH(sendto, sendto_p);
  SWITCH(recvmsg, recvmsg_p);
  SWITCH(sendmsg, sendmsg_p);
  SWITCH(recvmmsg, recvmmsg_p);
  SWITCH(sendmmsg, sendmmsg_p);
  SWITCH(__recvmsg64, recvmsg64_p);
  SWITCH(__sendmsg64, sendmsg64_p);
  SWITCH(__recvmmsg64, recvmmsg64_p);
  SWITCH(__sendmmsg64, sendmmsg64_p);
  SWITCH(sendfile, sendfile_p);
  SWITCH(sendfile64, sendfile64_p);
  SWITCH(splice, splice_p);
  SWITCH(__read_chk, read_chk_p);
  SWITCH(__recv_chk, recv_chk_p);
  SWITCH(__recvfrom_chk, recvfrom_chk_p);
}

/* An optional name that this libc lacks: the host cannot have reached it through libc. */
#define REQUIRE(name) \
  do { \
    if (!cur_##name) statistics_load(); \
    if (!cur_##name) { \
      errno = ENOSYS; \
      return -1; \
    } \
  } while (0)

/* ---- descriptor bookkeeping ---- */

EXPORT int socket(int domain, int type, int protocol) {
  return adopt(CALL(socket)(domain, type, protocol), is_internet(domain));
}

EXPORT int accept(int fd, __SOCKADDR_ARG addr, socklen_t *len) {
  int conn = CALL(accept)(fd, addr, len);
  return adopt(conn, conn != -1 && is_internet_socket(conn));
}

EXPORT int accept4(int fd, __SOCKADDR_ARG addr, socklen_t *len, int flags) {
  REQUIRE(accept4);
  int conn = CALL(accept4)(fd, addr, len, flags);
  return adopt(conn, conn != -1 && is_internet_socket(conn));
}

EXPORT int dup(int fd) {
  return adopt(CALL(dup)(fd), is_marked(fd));
}

/* A counted socket cannot be followed onto a number the table does not hold. */
static int untrackable_target(int oldfd, int newfd) {
  if (newfd < TABLE_SIZE || !is_marked(oldfd)) return 0;
  errno = EBADF;
  return 1;
}

/* The statistics descriptor belongs to the library: a host that closes every descriptor, or
 * redirects onto its number, must neither lose the channel nor receive the records. */
static int is_statistics_fd(int fd) {
  return fd >= 0 && fd == stat_fd;
}

static void move_statistics_fd(void) {
  int moved = (int)syscall(SYS_fcntl, stat_fd, F_DUPFD, STAT_FD_FLOOR);
  if (moved != -1) {
    real_close(stat_fd);
    stat_fd = moved;
  }
}

EXPORT int dup2(int oldfd, int newfd) {
  if (untrackable_target(oldfd, newfd)) return -1;
  if (is_statistics_fd(newfd) && oldfd != newfd) move_statistics_fd();
  int result = CALL(dup2)(oldfd, newfd);
  if (result != -1 && oldfd != newfd) set_mark(newfd, is_marked(oldfd));
  return result;
}

EXPORT int dup3(int oldfd, int newfd, int flags) {
  REQUIRE(dup3);
  if (untrackable_target(oldfd, newfd)) return -1;
  if (is_statistics_fd(newfd)) move_statistics_fd();
  int result = CALL(dup3)(oldfd, newfd, flags);
  if (result != -1) set_mark(newfd, is_marked(oldfd));
  return result;
}

static int after_fcntl(int fd, int cmd, int result) {
  if (result == -1 || (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC)) return result;
  return adopt(result, is_marked(fd));
}

/* The third argument is an int or a pointer, whichever the command takes; both fit a pointer. */
#define FCNTL_BODY(name) \
  REQUIRE(name); \
  va_list ap; \
  va_start(ap, cmd); \
  void *arg = va_arg(ap, void *); \
  va_end(ap); \
  return after_fcntl(fd, cmd, CALL(name)(fd, cmd, arg));

EXPORT int fcntl(int fd, int cmd, ...) {
  FCNTL_BODY(fcntl)
}
EXPORT int fcntl64(int fd, int cmd, ...) {
  FCNTL_BODY(fcntl64)
}
EXPORT int __fcntl_time64(int fd, int cmd, ...) {
  FCNTL_BODY(__fcntl_time64)
}

EXPORT int close(int fd) {
  if (is_statistics_fd(fd)) return 0;
  int result = CALL(close)(fd);
  if (result != -1) set_mark(fd, 0);
  return result;
}

static void clear_marks(unsigned int first, unsigned int last) {
  for (unsigned int fd = first; fd <= last && fd < TABLE_SIZE; ++fd) marks[fd] = 0;
}

/* Closes [first, last] but for the statistics descriptor, which lies within. */
static int close_range_around_statistics(unsigned int first, unsigned int last, int flags) {
  unsigned int kept = (unsigned int)stat_fd;
  int result = 0;
  if (kept > first) result = CALL(close_range)(first, kept - 1, flags);
  if (result == 0 && kept < last) result = CALL(close_range)(kept + 1, last, flags);
  return result;
}

EXPORT int close_range(unsigned int first, unsigned int last, int flags) {
  REQUIRE(close_range);
  /* Descriptors only marked close-on-exec stay open, and so do their marks. */
  if (flags & CLOSE_RANGE_CLOEXEC) return CALL(close_range)(first, last, flags);
  int within = stat_fd >= 0 && first <= (unsigned int)stat_fd && (unsigned int)stat_fd <= last;
  int result = within ? close_range_around_statistics(first, last, flags)
                      : CALL(close_range)(first, last, flags);
  if (result == 0) clear_marks(first, last);
  return result;
}

EXPORT void closefrom(int lowest) {
  if (!cur_closefrom) statistics_load();
  if (!cur_closefrom) return;
  unsigned int first = lowest < 0 ? 0 : (unsigned int)lowest;
  if (stat_fd >= 0 && (unsigned int)stat_fd >= first) {
    int saved = errno; /* closefrom reports nothing; the numbers not open fail harmlessly */
    for (unsigned int fd = first; fd < (unsigned int)stat_fd; ++fd) real_close((int)fd);
    errno = saved;
    CALL(closefrom)(stat_fd + 1);
  } else {
    CALL(closefrom)(lowest);
  }
  clear_marks(first, UINT_MAX);
}

/* ---- data transfer ---- */

EXPORT ssize_t read(int fd, void *buf, size_t n) {
  ssize_t r = CALL(read)(fd, buf, n);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t readv(int fd, const struct iovec *iov, int count) {
  ssize_t r = CALL(readv)(fd, iov, count);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags) {
  ssize_t r = CALL(recv)(fd, buf, n, flags);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}
EXPORT ssize_t recvfrom(int fd, void *buf, size_t n, int flags, __SOCKADDR_ARG addr,
                        socklen_t *len) {
  ssize_t r = CALL(recvfrom)(fd, buf, n, flags, addr, len);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}
EXPORT ssize_t write(int fd, const void *buf, size_t n) {
  ssize_t r = CALL(write)(fd, buf, n);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags) {
  ssize_t r = CALL(send)(fd, buf, n, flags);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t writev(int fd, const struct iovec *iov, int count) {
  ssize_t r = CALL(writev)(fd, iov, count);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t sendto(int fd, const void *buf, size_t n, int flags, __CONST_SOCKADDR_ARG addr,
                      socklen_t len) {
  ssize_t r = CALL(sendto)(fd, buf, n, flags, addr, len);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
  REQUIRE(recvmsg);
  ssize_t r = CALL(recvmsg)(fd, msg, flags);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}
EXPORT ssize_t sendmsg(int fd, const struct msghdr *msg, int flags) {
  REQUIRE(sendmsg);
  ssize_t r = CALL(sendmsg)(fd, msg, flags);
  COUNTED(fd, r);
  return r;
}

/* Bytes carried by the first `sent` messages of a vector. */
static long long message_bytes(const struct mmsghdr *v, int sent) {
  long long total = 0;
  for (int i = 0; i < sent; ++i) total += v[i].msg_len;
  return total;
}

EXPORT int recvmmsg(int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t) {
  REQUIRE(recvmmsg);
  int r = CALL(recvmmsg)(fd, v, n, flags, t);
  if (r > 0 && !(flags & NOT_RECEIVED) && is_marked(fd)) count_bytes(message_bytes(v, r));
  return r;
}
EXPORT int sendmmsg(int fd, struct mmsghdr *v, unsigned int n, int flags) {
  REQUIRE(sendmmsg);
  int r = CALL(sendmmsg)(fd, v, n, flags);
  if (r > 0 && is_marked(fd)) count_bytes(message_bytes(v, r));
  return r;
}
EXPORT ssize_t __recvmsg64(int fd, struct msghdr *msg, int flags) {
  REQUIRE(__recvmsg64);
  ssize_t r = CALL(__recvmsg64)(fd, msg, flags);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}
EXPORT ssize_t __sendmsg64(int fd, const struct msghdr *msg, int flags) {
  REQUIRE(__sendmsg64);
  ssize_t r = CALL(__sendmsg64)(fd, msg, flags);
  COUNTED(fd, r);
  return r;
}
EXPORT int __recvmmsg64(int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t) {
  REQUIRE(__recvmmsg64);
  int r = CALL(__recvmmsg64)(fd, v, n, flags, t);
  if (r > 0 && !(flags & NOT_RECEIVED) && is_marked(fd)) count_bytes(message_bytes(v, r));
  return r;
}
EXPORT int __sendmmsg64(int fd, struct mmsghdr *v, unsigned int n, int flags) {
  REQUIRE(__sendmmsg64);
  int r = CALL(__sendmmsg64)(fd, v, n, flags);
  if (r > 0 && is_marked(fd)) count_bytes(message_bytes(v, r));
  return r;
}

/* Bytes moved between a socket and a file or pipe in the kernel: one end is a counted socket. */
#define COUNTED_EITHER(fd1, fd2, result) \
  do { \
    if ((result) > 0 && (is_marked(fd1) || is_marked(fd2))) count_bytes(result); \
  } while (0)

EXPORT ssize_t sendfile(int out, int in, off_t *offset, size_t n) {
  REQUIRE(sendfile);
  ssize_t r = CALL(sendfile)(out, in, offset, n);
  COUNTED_EITHER(out, in, r);
  return r;
}
EXPORT ssize_t sendfile64(int out, int in, off64_t *offset, size_t n) {
  REQUIRE(sendfile64);
  ssize_t r = CALL(sendfile64)(out, in, offset, n);
  COUNTED_EITHER(out, in, r);
  return r;
}
EXPORT ssize_t splice(int in, __off64_t *in_offset, int out, __off64_t *out_offset, size_t n,
                      unsigned int flags) {
  REQUIRE(splice);
  ssize_t r = CALL(splice)(in, in_offset, out, out_offset, n, flags);
  COUNTED_EITHER(in, out, r);
  return r;
}
EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t size) {
  REQUIRE(__read_chk);
  ssize_t r = CALL(__read_chk)(fd, buf, n, size);
  COUNTED(fd, r);
  return r;
}
EXPORT ssize_t __recv_chk(int fd, void *buf, size_t n, size_t size, int flags) {
  REQUIRE(__recv_chk);
  ssize_t r = CALL(__recv_chk)(fd, buf, n, size, flags);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}
EXPORT ssize_t __recvfrom_chk(int fd, void *buf, size_t n, size_t size, int flags,
                              __SOCKADDR_ARG addr, socklen_t *len) {
  REQUIRE(__recvfrom_chk);
  ssize_t r = CALL(__recvfrom_chk)(fd, buf, n, size, flags, addr, len);
  COUNTED_IF_RECEIVED(fd, r, flags);
  return r;
}

/* ---- install-record watch ---- */

static const char INSTALL_RECORD[] = "/InstallRecord.blob";

static int names_install_record(const char *path) {
  size_t len = strlen(path), tail = sizeof INSTALL_RECORD - 1;
  return len >= tail && memcmp(path + len - tail, INSTALL_RECORD, tail) == 0;
}

/* True when the components of `dir` lead those of `path`; runs of '/' count as one. */
static int path_within(const char *dir, const char *path) {
  if ((*dir == '/') != (*path == '/')) return 0;
  for (;;) {
    while (*dir == '/') ++dir;
    while (*path == '/') ++path;
    if (*dir == '\0') return 1;
    for (; *dir && *dir != '/'; ++dir, ++path)
      if (*dir != *path) return 0;
    if (*path && *path != '/') return 0;
  }
}

/* One status query of the game's install record is one file record; its result is not examined. */
static void watch(const char *path) {
  if (steam_regime && path && names_install_record(path) && path_within(game_dir, path))
    write_record(KIND_FILE, 1);
}

static void watch_followed(const char *path, int flags) {
  if (!(flags & AT_SYMLINK_NOFOLLOW)) watch(path);
}

EXPORT int __xstat(int version, const char *path, struct stat *buf) {
  int r = CALL(__xstat)(version, path, buf);
  watch(path);
  return r;
}
EXPORT int __xstat64(int version, const char *path, struct stat *buf) {
  int r = CALL(__xstat64)(version, path, buf);
  watch(path);
  return r;
}

#define STAT_BODY(name) \
  REQUIRE(name); \
  int r = CALL(name)(path, buf); \
  watch(path); \
  return r;

EXPORT int stat(const char *path, struct stat *buf) {
  STAT_BODY(stat)
}
EXPORT int stat64(const char *path, struct stat *buf) {
  STAT_BODY(stat64)
}
EXPORT int __stat64_time64(const char *path, struct stat *buf) {
  STAT_BODY(__stat64_time64)
}

#define FSTATAT_BODY(name) \
  REQUIRE(name); \
  int r = CALL(name)(dirfd, path, buf, flags); \
  watch_followed(path, flags); \
  return r;

EXPORT int fstatat(int dirfd, const char *path, struct stat *buf, int flags) {
  FSTATAT_BODY(fstatat)
}
EXPORT int fstatat64(int dirfd, const char *path, struct stat *buf, int flags) {
  FSTATAT_BODY(fstatat64)
}
EXPORT int __fstatat64_time64(int dirfd, const char *path, struct stat *buf, int flags) {
  FSTATAT_BODY(__fstatat64_time64)
}

EXPORT int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf) {
  REQUIRE(statx);
  int r = CALL(statx)(dirfd, path, flags, mask, buf);
  watch_followed(path, flags);
  return r;
}

/* ---- exec: the preload of the new program's own ELF class ---- */

/* Reports what this process has counted so far: a new image starts counting from nothing, and
 * after a fork only one of the two processes could report it. */
static void report_so_far(void) {
  int32_t rest = __atomic_exchange_n(&running, 0, __ATOMIC_RELAXED);
  if (rest > 0) write_record(KIND_TRAFFIC, rest);
}

extern char **environ;

struct exec_call {
  const char *file;
  char *const *argv;
  pid_t *pid;
  const posix_spawn_file_actions_t *actions;
  const posix_spawnattr_t *attr;
  int fd;
};

static int run_execve(void *context, char *const env[]) {
  struct exec_call *call = context;
  return real_execve(call->file, call->argv, env);
}
static int run_fexecve(void *context, char *const env[]) {
  struct exec_call *call = context;
  return real_fexecve(call->fd, call->argv, env);
}
static int run_execvpe(void *context, char *const env[]) {
  struct exec_call *call = context;
  return real_execvpe(call->file, call->argv, env);
}
static int run_posix_spawn(void *context, char *const env[]) {
  struct exec_call *call = context;
  return real_posix_spawn(call->pid, call->file, call->actions, call->attr, call->argv, env);
}
static int run_posix_spawnp(void *context, char *const env[]) {
  struct exec_call *call = context;
  return real_posix_spawnp(call->pid, call->file, call->actions, call->attr, call->argv, env);
}

EXPORT int execve(const char *path, char *const argv[], char *const envp[]) {
  REQUIRE(execve);
  struct exec_call call = {.file = path, .argv = argv};
  int refused;
  report_so_far();
  return with_class_preload(path, envp, run_execve, &call, &refused);
}

/* The name under which the program open on `fd` can be read: "/proc/self/fd/N". */
static const char *descriptor_path(int fd, char *out) {
  static const char prefix[] = "/proc/self/fd/";
  char digits[12];
  int n = 0;
  unsigned int value = (unsigned int)fd;
  do digits[n++] = (char)('0' + value % 10);
  while ((value /= 10) > 0);
  memcpy(out, prefix, sizeof prefix - 1);
  char *p = out + sizeof prefix - 1;
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return out;
}

/* libc carries it out with its internal exec calls, out of the library's sight. */
EXPORT int fexecve(int fd, char *const argv[], char *const envp[]) {
  REQUIRE(fexecve);
  struct exec_call call = {.fd = fd, .argv = argv};
  char path[32];
  int refused;
  report_so_far();
  return with_class_preload(descriptor_path(fd, path), envp, run_fexecve, &call, &refused);
}

EXPORT int execv(const char *path, char *const argv[]) {
  return execve(path, argv, environ);
}

EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) {
  REQUIRE(execvpe);
  struct exec_call call = {.file = file, .argv = argv};
  char found[PATH_MAX];
  int refused;
  report_so_far();
  return with_class_preload(search_path(file, found, sizeof found), envp, run_execvpe, &call,
                            &refused);
}

EXPORT int execvp(const char *file, char *const argv[]) {
  return execvpe(file, argv, environ);
}

/* The argument-list forms reach execve inside libc, out of the library's sight: they go
 * through the vector forms above instead. `ap` is left at the entry after the list's NULL. */
#define ARGV_FROM_LIST(first, ap) \
  size_t argc = 1; \
  va_list counting; \
  va_copy(counting, ap); \
  while (va_arg(counting, char *)) ++argc; \
  va_end(counting); \
  char *argv[argc + 1]; \
  argv[0] = (char *)(first); \
  for (size_t i = 1; i <= argc; ++i) argv[i] = va_arg(ap, char *);

EXPORT int execl(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  va_end(ap);
  return execve(path, argv, environ);
}

EXPORT int execle(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  char *const *envp = va_arg(ap, char *const *);
  va_end(ap);
  return execve(path, argv, envp);
}

EXPORT int execlp(const char *file, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  va_end(ap);
  return execvpe(file, argv, environ);
}

/* A refused spawn reports like posix_spawn itself: with the error number as its result. */
static int spawn(const char *program, char *const envp[], exec_action action,
                 struct exec_call *call) {
  int refused;
  int result = with_class_preload(program, envp, action, call, &refused);
  return refused ? ENOEXEC : result;
}

EXPORT int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                       const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  if (!cur_posix_spawn) statistics_load();
  if (!cur_posix_spawn) return ENOSYS;
  struct exec_call call = {path, argv, pid, actions, attr, -1};
  return spawn(path, envp, run_posix_spawn, &call);
}

EXPORT int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                        const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  if (!cur_posix_spawnp) statistics_load();
  if (!cur_posix_spawnp) return ENOSYS;
  struct exec_call call = {file, argv, pid, actions, attr, -1};
  char found[PATH_MAX];
  return spawn(search_path(file, found, sizeof found), envp, run_posix_spawnp, &call);
}

/* ---- load and unload ---- */

static void *libc_handle;

static void *lookup(const char *name, const char *failure) {
  void *address = dlsym(libc_handle, name);
  if (!address && failure) fail_load(failure);
  return address;
}

#define LOOKUP(name) real_##name = cur_##name = (name##_fn)lookup(#name, NULL)
#define LOOKUP_REQUIRED(name) \
  real_##name = cur_##name = \
      (name##_fn)lookup(#name, "statistics: Failed to get " #name "() address\n")

static void resolve_required(void) {
  LOOKUP_REQUIRED(socket);
  LOOKUP_REQUIRED(close);
  LOOKUP_REQUIRED(accept);
  LOOKUP_REQUIRED(dup);
  LOOKUP_REQUIRED(dup2);
  LOOKUP_REQUIRED(read);
  LOOKUP_REQUIRED(readv);
  LOOKUP_REQUIRED(recv);
  LOOKUP_REQUIRED(recvfrom);
  LOOKUP_REQUIRED(write);
  LOOKUP_REQUIRED(send);
  LOOKUP_REQUIRED(writev);
  LOOKUP_REQUIRED(sendto);
  LOOKUP_REQUIRED(__xstat);
  LOOKUP_REQUIRED(__xstat64);
}

static void resolve_optional(void) {
  LOOKUP(accept4);
  LOOKUP(dup3);
  LOOKUP(close_range);
  LOOKUP(closefrom);
  LOOKUP(fcntl);
  LOOKUP(fcntl64);
  LOOKUP(__fcntl_time64);
  LOOKUP(recvmsg);
  LOOKUP(sendmsg);
  LOOKUP(recvmmsg);
  LOOKUP(sendmmsg);
  LOOKUP(__recvmsg64);
  LOOKUP(__sendmsg64);
  LOOKUP(__recvmmsg64);
  LOOKUP(__sendmmsg64);
  LOOKUP(sendfile);
  LOOKUP(sendfile64);
  LOOKUP(splice);
  LOOKUP(__read_chk);
  LOOKUP(__recv_chk);
  LOOKUP(__recvfrom_chk);
  LOOKUP(stat);
  LOOKUP(stat64);
  LOOKUP(__stat64_time64);
  LOOKUP(fstatat);
  LOOKUP(fstatat64);
  LOOKUP(__fstatat64_time64);
  LOOKUP(statx);
  LOOKUP(execve);
  LOOKUP(execvpe);
  LOOKUP(fexecve);
  LOOKUP(posix_spawn);
  LOOKUP(posix_spawnp);
}

static void read_environment(void) {
  const char *regime = getenv("ZENTRA_STAT_REGIME");
  if (!regime) fail_load("staistics: Failed to get statistics regime.\n");
  if (strcmp(regime, "steam") == 0) {
    steam_regime = 1;
    game_dir = getenv("ZENTRA_STAT_GAME_DIR");
    if (!game_dir) fail_load("staistics: Failed to get game directory.\n");
  } else if (strcmp(regime, "game") != 0) {
    fail_load("staistics: Failed to define statistics regime.\n");
  }
  stat_file = getenv("ZENTRA_STAT_FILE");
  if (!stat_file) fail_load("staistics: Failed to get statistics file.\n");
}

/* Keeps the statistics descriptor out of the numbers that scripts redirect by hand. */
static int out_of_the_way(int fd) {
  int moved = (int)syscall(SYS_fcntl, fd, F_DUPFD, STAT_FD_FLOOR);
  if (moved == -1) return fd;
  real_close(fd);
  return moved;
}

/* Blocks until the reader has opened a FIFO, so the host never runs uncounted. */
static void open_statistics_file(void) {
  int fd = open(stat_file, O_WRONLY);
  if (fd == -1) {
    say_path("staistics: Failed to open ", stat_file, " file.\n");
    _exit(1);
  }
  stat_fd = fd < STAT_FD_FLOOR ? out_of_the_way(fd) : fd;
}

/* Internet sockets that the program which exec'd this one left open are this host's too. */
static void mark_inherited_sockets(void) {
  int saved = errno;
  for (int fd = 0; fd < TABLE_SIZE; ++fd) marks[fd] = is_internet_socket(fd);
  errno = saved;
}

__attribute__((constructor)) static void statistics_load(void) {
  static int loaded;
  if (loaded) return;
  loaded = 1;
  libc_handle = dlopen("libc.so.6", RTLD_LAZY);
  if (!libc_handle) fail_load(dlerror());
  resolve_required();
  resolve_optional();
  read_environment();
  open_statistics_file();
  mark_inherited_sockets();
  /* Neither process of a fork reports what was counted before it, nor loses it when one leaves
   * without exit handlers: it is reported before the fork. */
  pthread_atfork(report_so_far, NULL, NULL);
  rearm_class_preload();
}

__attribute__((destructor)) static void statistics_unload(void) {
  int32_t rest = __atomic_exchange_n(&running, 0, __ATOMIC_RELAXED);
  if (rest <= 0) return;
  write_record(KIND_TRAFFIC, rest);
  real_close(stat_fd);
}
