/* The descriptor book: which descriptors are counted sockets. A number must never carry a
 * mark while it is something else, even for a moment, since another thread may be handed the
 * number at once: marks are cleared before a close and set only once the socket is there. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>

#include "statistics.h"

_Alignas(64) int32_t marks[TABLE_SIZE];

static int is_internet(int domain) {
  return domain == AF_INET || domain == AF_INET6;
}

int is_internet_socket(int fd) {
  int saved = errno, domain = 0;
  socklen_t len = sizeof domain;
  int internet = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && is_internet(domain);
  errno = saved;
  return internet;
}

int still_counted(int fd) {
  if (is_internet_socket(fd)) return 1;
  set_mark(fd, 0);
  return 0;
}

void mark_sockets(unsigned int first, unsigned int last) {
  for (unsigned int fd = first; fd <= last && fd < TABLE_SIZE; ++fd)
    set_mark((int)fd, is_internet_socket((int)fd));
}

static void clear_marks(unsigned int first, unsigned int last) {
  for (unsigned int fd = first; fd <= last && fd < TABLE_SIZE; ++fd) set_mark((int)fd, 0);
}

/* ---- new descriptors ---- */

/* Marks a new counted descriptor; one that the table cannot hold is closed and refused. */
static int adopt_counted(int fd) {
  if (fd >= TABLE_SIZE) {
    REAL(close)(fd);
    errno = EMFILE;
    return -1;
  }
  set_mark(fd, 1);
  return fd;
}

/* A new descriptor takes the mark its origin deserves, replacing whatever its number had. */
static int adopt(int fd, int counted) {
  if (fd == -1) return fd;
  if (counted) return adopt_counted(fd);
  set_mark(fd, 0);
  return fd;
}

static int adopt_duplicate(int oldfd, int newfd) {
  int counted = is_marked(oldfd);
  if (counted && newfd >= TABLE_SIZE) counted = still_counted(oldfd);
  return adopt(newfd, counted);
}

EXPORT int socket(int domain, int type, int protocol) {
  return adopt(CALL(socket)(domain, type, protocol), is_internet(domain));
}

EXPORT int accept(int fd, __SOCKADDR_ARG addr, socklen_t *len) {
  int conn = CALL(accept)(fd, addr, len);
  return adopt(conn, conn != -1 && is_internet_socket(conn));
}

EXPORT int accept4(int fd, __SOCKADDR_ARG addr, socklen_t *len, int flags) {
  int conn = CALL(accept4)(fd, addr, len, flags);
  return adopt(conn, conn != -1 && is_internet_socket(conn));
}

EXPORT int dup(int fd) {
  return adopt_duplicate(fd, CALL(dup)(fd));
}

static int after_fcntl(int fd, int cmd, int result) {
  if (result == -1 || (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC)) return result;
  return adopt_duplicate(fd, result);
}

/* The third argument is an int or a pointer, whichever the command takes; both fit a pointer. */
#define FCNTL_WRAPPER(name) \
  EXPORT int name(int fd, int cmd, ...) { \
    va_list ap; \
    va_start(ap, cmd); \
    void *arg = va_arg(ap, void *); \
    va_end(ap); \
    return after_fcntl(fd, cmd, CALL(name)(fd, cmd, arg)); \
  }
FCNTL_WRAPPER(fcntl)
FCNTL_WRAPPER(fcntl64)
FCNTL_WRAPPER(__fcntl_time64)

/* ---- duplicates onto a chosen number ---- */

/* A counted socket cannot be followed onto a number the table does not hold. */
static int untrackable_target(int oldfd, int newfd) {
  if (newfd < TABLE_SIZE || !is_marked(oldfd) || !still_counted(oldfd)) return 0;
  errno = EBADF;
  return 1;
}

/* What dup2 or dup3 onto `newfd` needs to know once the call has returned. */
struct retarget {
  int counted;   /* whether `oldfd` is */
  int32_t mark;  /* of `newfd` before */
  int freed;     /* the statistics number, moved out of the way, or -1 */
};

/* An uncounted duplicate loses the mark of `newfd` before the call, a counted one gains it
 * after: in between `newfd` is counted only while it is the counted socket. */
static struct retarget before_retarget(int oldfd, int newfd) {
  struct retarget r = {is_marked(oldfd), is_marked(newfd), make_way_for(newfd)};
  if (!r.counted) set_mark(newfd, 0);
  return r;
}

static int after_retarget(struct retarget r, int newfd, int result) {
  if (result != -1) {
    if (r.counted) set_mark(newfd, 1);
    return result;
  }
  /* Nothing changed: `newfd` is what it was, or, when it was the channel, what the host knew. */
  set_mark(newfd, r.mark);
  if (r.freed != -1) REAL(close)(r.freed);
  return result;
}

EXPORT int dup2(int oldfd, int newfd) {
  if (untrackable_target(oldfd, newfd)) return -1;
  if (oldfd == newfd) return CALL(dup2)(oldfd, newfd);
  struct retarget r = before_retarget(oldfd, newfd);
  return after_retarget(r, newfd, CALL(dup2)(oldfd, newfd));
}

EXPORT int dup3(int oldfd, int newfd, int flags) {
  if (untrackable_target(oldfd, newfd)) return -1;
  struct retarget r = before_retarget(oldfd, newfd);
  return after_retarget(r, newfd, CALL(dup3)(oldfd, newfd, flags));
}

/* ---- closes ---- */

/* Linux frees the number even when close fails, so its mark goes first. The statistics
 * descriptor belongs to the library: a host that closes every descriptor, as a daemon does,
 * must not lose the channel. */
EXPORT int close(int fd) {
  if (is_statistics_fd(fd)) return 0;
  set_mark(fd, 0);
  return CALL(close)(fd);
}

/* libc closes the stream's descriptor inside, out of the sight of close. */
EXPORT int fclose(FILE *stream) {
  int fd = stream ? fileno(stream) : -1;
  (void)make_way_for(fd); /* the channel moves first; fclose closes the number it had */
  set_mark(fd, 0);
  return CALL(fclose)(stream);
}

/* Closes [first, last] but for the statistics descriptor `kept`, which lies within. */
static int close_range_around(unsigned int kept, unsigned int first, unsigned int last,
                              int flags) {
  int result = 0;
  if (kept > first) result = CALL(close_range)(first, kept - 1, flags);
  if (result == 0 && kept < last) result = CALL(close_range)(kept + 1, last, flags);
  return result;
}

EXPORT int close_range(unsigned int first, unsigned int last, int flags) {
  /* Descriptors only marked close-on-exec stay open, and so do their marks. */
  if (flags & CLOSE_RANGE_CLOEXEC) return CALL(close_range)(first, last, flags);
  int kept = statistics_fd();
  int within = kept >= 0 && first <= (unsigned int)kept && (unsigned int)kept <= last;
  clear_marks(first, last);
  int result = within ? close_range_around((unsigned int)kept, first, last, flags)
                      : CALL(close_range)(first, last, flags);
  /* A failure may have closed some of them, or none: the book follows what is open. */
  if (result != 0) mark_sockets(first, last);
  return result;
}

EXPORT void closefrom(int lowest) {
  unsigned int first = lowest < 0 ? 0 : (unsigned int)lowest;
  int kept = statistics_fd();
  clear_marks(first, UINT_MAX);
  if (kept >= 0 && (unsigned int)kept >= first) {
    int saved = errno; /* closefrom reports nothing; the numbers not open fail harmlessly */
    for (unsigned int fd = first; fd < (unsigned int)kept; ++fd) REAL(close)((int)fd);
    errno = saved;
    CALL(closefrom)(kept + 1);
  } else {
    CALL(closefrom)(lowest);
  }
}
