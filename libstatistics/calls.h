/* Every libc function that the statistics library interposes, written once (but execv, execvp
 * and the list forms, which it rebuilds on execve and execvpe). From this table come the real
 * and current entry points, their lookup at load (with the message that names a missing one),
 * the system call that serves a call arriving while the library loads, and for the data calls
 * the counting wrapper, the cut-off variant and the switch to it.
 *
 * X(name, need, group, ret, params, args, use, raw)
 *   need     REQUIRED: the library does not load without it; OPTIONAL: some libcs lack it
 *   group    DATA: a data call, made entirely from its row; OWN: its wrapper is hand-written
 *   ret, params, args   its type as libc's headers declare it (the compiler holds the row to
 *            them), and its arguments by name
 *   use      of a data call: (descriptor, second descriptor or NO_FD, receive flags or 0,
 *            bytes moved when it returned r)
 *   raw      the system call that takes the same arguments, or NO_SYSCALL
 */
#ifndef ZENTRA_STATISTICS_CALLS_H
#define ZENTRA_STATISTICS_CALLS_H

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { NO_FD = -1 };
#define NO_SYSCALL (-1)

struct stat64;
struct statx;

#define STATISTICS_CALLS(X) \
  X(socket, REQUIRED, OWN, int, (int domain, int type, int protocol), (domain, type, protocol), \
    (), SYS_socket) \
  X(close, REQUIRED, OWN, int, (int fd), (fd), (), SYS_close) \
  X(accept, REQUIRED, OWN, int, (int fd, __SOCKADDR_ARG addr, socklen_t *len), (fd, addr, len), \
    (), NO_SYSCALL) \
  X(dup, REQUIRED, OWN, int, (int fd), (fd), (), SYS_dup) \
  X(dup2, REQUIRED, OWN, int, (int oldfd, int newfd), (oldfd, newfd), (), SYS_dup2) \
  X(read, REQUIRED, DATA, ssize_t, (int fd, void *buf, size_t n), (fd, buf, n), \
    (fd, NO_FD, 0, r), SYS_read) \
  X(readv, REQUIRED, DATA, ssize_t, (int fd, const struct iovec *iov, int count), \
    (fd, iov, count), (fd, NO_FD, 0, r), SYS_readv) \
  X(recv, REQUIRED, DATA, ssize_t, (int fd, void *buf, size_t n, int flags), (fd, buf, n, flags), \
    (fd, NO_FD, flags, r), NO_SYSCALL) \
  X(recvfrom, REQUIRED, DATA, ssize_t, \
    (int fd, void *buf, size_t n, int flags, __SOCKADDR_ARG addr, socklen_t *len), \
    (fd, buf, n, flags, addr, len), (fd, NO_FD, flags, r), NO_SYSCALL) \
  X(write, REQUIRED, DATA, ssize_t, (int fd, const void *buf, size_t n), (fd, buf, n), \
    (fd, NO_FD, 0, r), SYS_write) \
  X(send, REQUIRED, DATA, ssize_t, (int fd, const void *buf, size_t n, int flags), \
    (fd, buf, n, flags), (fd, NO_FD, 0, r), NO_SYSCALL) \
  X(writev, REQUIRED, DATA, ssize_t, (int fd, const struct iovec *iov, int count), \
    (fd, iov, count), (fd, NO_FD, 0, r), SYS_writev) \
  X(sendto, REQUIRED, DATA, ssize_t, \
    (int fd, const void *buf, size_t n, int flags, __CONST_SOCKADDR_ARG addr, socklen_t len), \
    (fd, buf, n, flags, addr, len), (fd, NO_FD, 0, r), NO_SYSCALL) \
  X(__xstat, REQUIRED, OWN, int, (int version, const char *path, struct stat *buf), \
    (version, path, buf), (), NO_SYSCALL) \
  X(__xstat64, REQUIRED, OWN, int, (int version, const char *path, struct stat64 *buf), \
    (version, path, buf), (), NO_SYSCALL) \
  /* Descriptor bookkeeping present in today's libc, absent in older ones. */ \
  X(accept4, OPTIONAL, OWN, int, (int fd, __SOCKADDR_ARG addr, socklen_t *len, int flags), \
    (fd, addr, len, flags), (), NO_SYSCALL) \
  X(dup3, OPTIONAL, OWN, int, (int oldfd, int newfd, int flags), (oldfd, newfd, flags), (), \
    SYS_dup3) \
  X(close_range, OPTIONAL, OWN, int, (unsigned int first, unsigned int last, int flags), \
    (first, last, flags), (), SYS_close_range) \
  X(closefrom, OPTIONAL, OWN, void, (int lowest), (lowest), (), NO_SYSCALL) \
  X(fclose, OPTIONAL, OWN, int, (FILE *stream), (stream), (), NO_SYSCALL) \
  X(fcntl, OPTIONAL, OWN, int, (int fd, int cmd, ...), (fd, cmd), (), NO_SYSCALL) \
  X(fcntl64, OPTIONAL, OWN, int, (int fd, int cmd, ...), (fd, cmd), (), NO_SYSCALL) \
  X(__fcntl_time64, OPTIONAL, OWN, int, (int fd, int cmd, ...), (fd, cmd), (), NO_SYSCALL) \
  /* Data calls beyond the first eight; the *64 ones are what 32-bit programs built with a \
   * 64-bit time_t reach, the *_chk ones what fortified programs reach. */ \
  X(recvmsg, OPTIONAL, DATA, ssize_t, (int fd, struct msghdr *msg, int flags), (fd, msg, flags), \
    (fd, NO_FD, flags, r), SYS_recvmsg) \
  X(sendmsg, OPTIONAL, DATA, ssize_t, (int fd, const struct msghdr *msg, int flags), \
    (fd, msg, flags), (fd, NO_FD, 0, r), SYS_sendmsg) \
  X(recvmmsg, OPTIONAL, DATA, int, \
    (int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t), \
    (fd, v, n, flags, t), (fd, NO_FD, flags, message_bytes(v, r)), SYS_recvmmsg) \
  X(sendmmsg, OPTIONAL, DATA, int, (int fd, struct mmsghdr *v, unsigned int n, int flags), \
    (fd, v, n, flags), (fd, NO_FD, 0, message_bytes(v, r)), SYS_sendmmsg) \
  X(__recvmsg64, OPTIONAL, DATA, ssize_t, (int fd, struct msghdr *msg, int flags), \
    (fd, msg, flags), (fd, NO_FD, flags, r), NO_SYSCALL) \
  X(__sendmsg64, OPTIONAL, DATA, ssize_t, (int fd, const struct msghdr *msg, int flags), \
    (fd, msg, flags), (fd, NO_FD, 0, r), NO_SYSCALL) \
  X(__recvmmsg64, OPTIONAL, DATA, int, \
    (int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t), \
    (fd, v, n, flags, t), (fd, NO_FD, flags, message_bytes(v, r)), NO_SYSCALL) \
  X(__sendmmsg64, OPTIONAL, DATA, int, (int fd, struct mmsghdr *v, unsigned int n, int flags), \
    (fd, v, n, flags), (fd, NO_FD, 0, message_bytes(v, r)), NO_SYSCALL) \
  X(sendfile, OPTIONAL, DATA, ssize_t, (int out, int in, off_t *offset, size_t n), \
    (out, in, offset, n), (out, in, 0, r), SYS_sendfile) \
  X(sendfile64, OPTIONAL, DATA, ssize_t, (int out, int in, off64_t *offset, size_t n), \
    (out, in, offset, n), (out, in, 0, r), NO_SYSCALL) \
  X(splice, OPTIONAL, DATA, ssize_t, \
    (int in, __off64_t *in_offset, int out, __off64_t *out_offset, size_t n, unsigned int flags), \
    (in, in_offset, out, out_offset, n, flags), (in, out, 0, r), SYS_splice) \
  X(__read_chk, OPTIONAL, DATA, ssize_t, (int fd, void *buf, size_t n, size_t size), \
    (fd, buf, n, size), (fd, NO_FD, 0, r), NO_SYSCALL) \
  X(__recv_chk, OPTIONAL, DATA, ssize_t, (int fd, void *buf, size_t n, size_t size, int flags), \
    (fd, buf, n, size, flags), (fd, NO_FD, flags, r), NO_SYSCALL) \
  X(__recvfrom_chk, OPTIONAL, DATA, ssize_t, \
    (int fd, void *buf, size_t n, size_t size, int flags, __SOCKADDR_ARG addr, socklen_t *len), \
    (fd, buf, n, size, flags, addr, len), (fd, NO_FD, flags, r), NO_SYSCALL) \
  /* The path status queries that reach the install-record watch. */ \
  X(stat, OPTIONAL, OWN, int, (const char *path, struct stat *buf), (path, buf), (), NO_SYSCALL) \
  X(stat64, OPTIONAL, OWN, int, (const char *path, struct stat64 *buf), (path, buf), (), \
    NO_SYSCALL) \
  X(__stat64_time64, OPTIONAL, OWN, int, (const char *path, struct stat64 *buf), (path, buf), (), \
    NO_SYSCALL) \
  X(fstatat, OPTIONAL, OWN, int, (int dirfd, const char *path, struct stat *buf, int flags), \
    (dirfd, path, buf, flags), (), NO_SYSCALL) \
  X(fstatat64, OPTIONAL, OWN, int, (int dirfd, const char *path, struct stat64 *buf, int flags), \
    (dirfd, path, buf, flags), (), NO_SYSCALL) \
  X(__fstatat64_time64, OPTIONAL, OWN, int, \
    (int dirfd, const char *path, struct stat64 *buf, int flags), (dirfd, path, buf, flags), (), \
    NO_SYSCALL) \
  X(statx, OPTIONAL, OWN, int, \
    (int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf), \
    (dirfd, path, flags, mask, buf), (), SYS_statx) \
  /* Starting programs: the preload of the new program's own class, and the count so far. */ \
  X(execve, OPTIONAL, OWN, int, (const char *path, char *const argv[], char *const envp[]), \
    (path, argv, envp), (), SYS_execve) \
  X(execvpe, OPTIONAL, OWN, int, (const char *file, char *const argv[], char *const envp[]), \
    (file, argv, envp), (), NO_SYSCALL) \
  X(fexecve, OPTIONAL, OWN, int, (int fd, char *const argv[], char *const envp[]), \
    (fd, argv, envp), (), NO_SYSCALL) \
  X(posix_spawn, OPTIONAL, OWN, int, \
    (pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions, \
     const posix_spawnattr_t *attr, char *const argv[], char *const envp[]), \
    (pid, path, actions, attr, argv, envp), (), NO_SYSCALL) \
  X(posix_spawnp, OPTIONAL, OWN, int, \
    (pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions, \
     const posix_spawnattr_t *attr, char *const argv[], char *const envp[]), \
    (pid, file, actions, attr, argv, envp), (), NO_SYSCALL) \
  X(_Fork, OPTIONAL, OWN, pid_t, (void), (), (), NO_SYSCALL) \
  /* Leaving without exit handlers: the remainder of the count is reported first. */ \
  X(_exit, OPTIONAL, OWN, void, (int status), (status), (), SYS_exit_group) \
  X(_Exit, OPTIONAL, OWN, void, (int status), (status), (), SYS_exit_group)

#pragma GCC visibility push(hidden)

/* Each name is exported with libc's type; its entry points and stand-in stay inside. */
#define DECLARE_CALL(name, need, group, ret, params, args, use, raw) \
  EXPORT ret name params; \
  extern __typeof__(name) *real_##name, *cur_##name; \
  ret raw_##name params;
STATISTICS_CALLS(DECLARE_CALL)
#undef DECLARE_CALL

/* Loads the library unless that has begun already (in this thread or another). */
void statistics_load(void);

/* The current entry point of `name`. A call that arrives before the library has loaded loads
 * it first; one that arrives while it loads (from an allocation inside the dynamic loader, or
 * from another thread) goes to the system call instead. */
#define CALL(name) \
  (__extension__({ \
    __typeof__(name) *entry_ = __atomic_load_n(&cur_##name, __ATOMIC_RELAXED); \
    if (__builtin_expect(entry_ == NULL, 0)) { \
      statistics_load(); \
      entry_ = __atomic_load_n(&cur_##name, __ATOMIC_RELAXED); \
      if (entry_ == NULL) entry_ = raw_##name; \
    } \
    entry_; \
  }))

/* libc's own function, for the library's own use: never counted, never cut off. */
#define REAL(name) \
  (__extension__({ \
    __typeof__(name) *entry_ = __atomic_load_n(&real_##name, __ATOMIC_RELAXED); \
    entry_ ? entry_ : raw_##name; \
  }))

#pragma GCC visibility pop

#endif
