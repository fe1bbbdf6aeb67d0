/* Counts the bytes that the host process moves through internet sockets and reports them as
 * 8-byte records (kind, value) to the statistics file named by ZENTRA_STAT_FILE. Loaded with
 * LD_PRELOAD by the launcher; every interposed call goes on to libc's own function.
 * This part: loading, the environment, the statistics channel, records, fork and exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include "messages.h"
#include "preload_class.h"
#include "statistics.h"

/* Far above the descriptors that start scripts name explicitly (0 to 9). */
enum { STAT_FD_FLOOR = 100 };
/* How a program passes its statistics descriptor on to the programs it execs. */
#define STAT_FD_VAR "ZENTRA_STAT_FD"

struct running_count running;
int steam_regime;
const char *game_dir;

static const char *stat_file;
static int stat_fd = -1;
/* Records being written right now, to whichever descriptor they found. */
static int record_writers;

#define DEFINE_ENTRY(name, ...) __typeof__(name) *real_##name, *cur_##name;
STATISTICS_CALLS(DEFINE_ENTRY)

/* ---- calls that arrive while the library loads ---- */

/* They go to the system call that takes the same arguments, or fail with ENOSYS. */
static long no_system_call(void) {
  errno = ENOSYS;
  return -1;
}

#define LEADING_COMMA(...) , ##__VA_ARGS__
#define DEFINE_RAW(name, need, group, ret, params, args, use, raw) \
  ret raw_##name params { \
    return (ret)((raw) == NO_SYSCALL ? no_system_call() : syscall(raw LEADING_COMMA args)); \
  }
STATISTICS_CALLS(DEFINE_RAW)

/* ---- messages ---- */

__attribute__((noreturn)) static void fail_load(const char *text) {
  say(text, "", "");
  REAL(_exit)(1);
  __builtin_unreachable();
}

/* ---- records ---- */

/* The host's errno describes the host's own call, never the record's. Nor is the record's
 * write a cancellation point of the host's: a thread cancelled there would lose the record and
 * leave it counted as being written for ever. */
int write_record(int32_t kind, int32_t value) {
  int32_t record[2] = {kind, value};
  int saved = errno, cancel_state;
  ssize_t n;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  __atomic_add_fetch(&record_writers, 1, __ATOMIC_SEQ_CST);
  int fd = __atomic_load_n(&stat_fd, __ATOMIC_SEQ_CST);
  do n = REAL(write)(fd, record, sizeof record);
  while (n == -1 && errno == EINTR);
  __atomic_sub_fetch(&record_writers, 1, __ATOMIC_RELEASE);
  pthread_setcancelstate(cancel_state, NULL);
  errno = saved;
  return n == (ssize_t)sizeof record;
}

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

void report_count(long long n) {
  long long total = n + __atomic_exchange_n(&running.bytes, 0, __ATOMIC_RELAXED);
  if (total < THRESHOLD) {
    /* Another thread reported in between; keep the remainder for later. */
    __atomic_add_fetch(&running.bytes, (int32_t)total, __ATOMIC_RELAXED);
    return;
  }
  report_traffic(total);
}

/* A new image starts counting from nothing, and after a fork only one of the two processes
 * could report it. */
void report_so_far(void) {
  int32_t rest = __atomic_exchange_n(&running.bytes, 0, __ATOMIC_RELAXED);
  if (rest > 0) write_record(KIND_TRAFFIC, rest);
}

/* ---- the statistics channel ---- */

/* "ZENTRA_STAT_FD=<number>", in this process's environment for the programs it execs. */
static char fd_entry[sizeof STAT_FD_VAR "=" + 12] = STAT_FD_VAR "=";

static void note_fd_for_execs(int fd) {
  char *value = fd_entry + sizeof STAT_FD_VAR;
  if (fd >= 0) format_decimal((unsigned int)fd, value);
  else *value = '\0';
}

/* Makes `fd` the channel, and waits until no record is still being written to the one before:
 * only then may that number be closed, or taken by the host. */
static void publish_statistics_fd(int fd) {
  __atomic_store_n(&stat_fd, fd, __ATOMIC_SEQ_CST);
  while (__atomic_load_n(&record_writers, __ATOMIC_SEQ_CST) != 0) sched_yield();
  note_fd_for_execs(fd);
}

int statistics_fd(void) {
  return __atomic_load_n(&stat_fd, __ATOMIC_RELAXED);
}

int is_statistics_fd(int fd) {
  return fd >= 0 && fd == statistics_fd();
}

/* Moves the channel to a free number from STAT_FD_FLOOR up, out of the way of the numbers that
 * start scripts redirect by hand. Returns the number it had (still open), or -1 when it stays. */
static int move_statistics_fd(void) {
  int old = __atomic_load_n(&stat_fd, __ATOMIC_RELAXED);
  int moved = (int)syscall(SYS_fcntl, old, F_DUPFD, STAT_FD_FLOOR);
  if (moved == -1) return -1;
  publish_statistics_fd(moved);
  return old;
}

/* Records must never reach what the host puts on the number: a channel that cannot move is
 * given up, and the host is cut off at its next record. */
int make_way_for(int fd) {
  if (!is_statistics_fd(fd)) return -1;
  if (move_statistics_fd() == -1) publish_statistics_fd(-1);
  return fd;
}

/* ---- load ---- */

static void *libc_handle;

static void *lookup(const char *name, const char *failure) {
  void *address = dlsym(libc_handle, name);
  if (!address && failure) fail_load(failure);
  return address;
}

#define LOOKUP_FAILURE_REQUIRED(name) "statistics: Failed to get " #name "() address\n"
#define LOOKUP_FAILURE_OPTIONAL(name) NULL
#define LOOK_UP(name, need, ...) \
  real_##name = (__typeof__(real_##name))lookup(#name, LOOKUP_FAILURE_##need(name)); \
  __atomic_store_n(&cur_##name, real_##name, __ATOMIC_RELAXED);

static void resolve(void) {
  STATISTICS_CALLS(LOOK_UP)
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

static int same_file(int fd, const char *path) {
  struct stat64 open_file, named;
  int by_path = open(path, O_PATH | O_CLOEXEC);
  if (by_path == -1) return 0;
  int same = fstat64(fd, &open_file) == 0 && fstat64(by_path, &named) == 0 &&
             open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
  (void)!syscall(SYS_close, by_path);
  return same;
}

/* The statistics descriptor that the program which exec'd this one passed on, while it is
 * still open for writing on the statistics file itself; -1 otherwise. Opening the file again
 * would leave that one behind, and, once the reader has gone, block for ever. */
static int inherited_statistics_fd(void) {
  const char *value = getenv(STAT_FD_VAR);
  char *end;
  if (!value || *value < '0' || *value > '9') return -1;
  long fd = strtol(value, &end, 10);
  if (*end || fd > INT_MAX) return -1;
  int mode = (int)syscall(SYS_fcntl, (int)fd, F_GETFL);
  if (mode == -1 || (mode & O_ACCMODE) == O_RDONLY) return -1;
  return same_file((int)fd, stat_file) ? (int)fd : -1;
}

/* Blocks until the reader has opened a FIFO, so the host never runs uncounted. */
static int open_statistics_file(void) {
  int fd = open(stat_file, O_WRONLY);
  if (fd == -1) {
    say("staistics: Failed to open ", stat_file, " file.\n");
    REAL(_exit)(1);
  }
  /* Each program of a chain that opens a regular file adds to it. */
  struct stat64 st;
  if (fstat64(fd, &st) == 0 && S_ISREG(st.st_mode))
    (void)!syscall(SYS_fcntl, fd, F_SETFL, O_APPEND);
  return fd;
}

static void take_statistics_channel(void) {
  int fd = inherited_statistics_fd();
  if (fd == -1) fd = open_statistics_file();
  publish_statistics_fd(fd);
  if (fd < STAT_FD_FLOOR) {
    int old = move_statistics_fd();
    if (old != -1) REAL(close)(old);
  }
  putenv(fd_entry);
}

/* A forked child has one thread. Records that others were writing are not its own, and what
 * they counted after the fork handler had reported is the parent's to report. */
static void start_forked_child(void) {
  __atomic_store_n(&record_writers, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&running.bytes, 0, __ATOMIC_RELAXED);
}

__attribute__((constructor)) void statistics_load(void) {
  static int started;
  if (__atomic_exchange_n(&started, 1, __ATOMIC_ACQ_REL)) return;
  libc_handle = dlopen("libc.so.6", RTLD_LAZY);
  if (!libc_handle) fail_load(dlerror());
  resolve();
  read_environment();
  take_statistics_channel();
  /* Internet sockets that the program which exec'd this one left open are this host's too. */
  mark_sockets(0, TABLE_SIZE - 1);
  /* Neither process of a fork reports what was counted before it, nor loses it when one leaves
   * without exit handlers: it is reported before the fork. */
  pthread_atfork(report_so_far, NULL, start_forked_child);
  rearm_class_preload();
}

/* The fork that runs no fork handlers. */
EXPORT pid_t _Fork(void) {
  report_so_far();
  pid_t pid = CALL(_Fork)();
  if (pid == 0) start_forked_child();
  return pid;
}

/* ---- leaving ---- */

/* The ways out that run no exit handlers, and so no destructor: signal handlers and vfork
 * children take them. What is left of the count is taken before it is written, so a vfork
 * child that leaves empties the count it shares with its parent, and the bytes go out once.
 * Nothing here waits for another record: the one this handler interrupted may never end. */
EXPORT void _exit(int status) {
  report_so_far();
  CALL(_exit)(status);
  __builtin_unreachable();
}

EXPORT void _Exit(int status) {
  report_so_far();
  CALL(_Exit)(status);
  __builtin_unreachable();
}

/* ---- unload ---- */

__attribute__((destructor)) static void statistics_unload(void) {
  int32_t rest = __atomic_exchange_n(&running.bytes, 0, __ATOMIC_RELAXED);
  if (rest <= 0) return;
  write_record(KIND_TRAFFIC, rest);
  /* Other threads may still run: the number is given up before it is closed, so that none of
   * their records can reach a descriptor that takes it later. A record still being written to
   * it keeps it open until the process ends, without waiting: that write may never return, as
   * when a signal handler interrupted it to call exit. */
  int fd = __atomic_exchange_n(&stat_fd, -1, __ATOMIC_SEQ_CST);
  note_fd_for_execs(-1);
  if (__atomic_load_n(&record_writers, __ATOMIC_SEQ_CST) == 0) REAL(close)(fd);
}
