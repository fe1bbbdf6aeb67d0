/* A host for the statistics library: runs the commands of its command line in order and
 * prints "command=result" for each. It holds one counted descriptor `c` and, for sockets, an
 * uncounted peer `p` made with plain system calls, so that only one side of a transfer counts.
 *
 *   echo TEXT | tcp | udp | unix | pipe | file PATH
 *   send N VIA        VIA: write send sendto writev sendmsg sendmmsg
 *   recv N VIA        VIA: read recv recvfrom readv recvmsg recvmmsg read_chk recv_chk recvfrom_chk
 *   peek N VIA        the peer sends N bytes; the host peeks at them, then receives them
 *   sendfile PATH N   sends N bytes of a file on c; splice N: the peer sends N, spliced into a pipe
 *   peer-send N       the peer sends N bytes, left for a later reader of c
 *   errqueue N        (udp) the peer goes, c sends N bytes, and takes them back from the error queue
 *   big N             one write of N bytes on c while a child drains the peer
 *   keep | close-all | close-range FIRST LAST | closefrom LOW | read-fd FD|c|k N | open-onto FD PATH | dup | dup2 FD | dup3 FD | fcntl-dup MIN | close
 *   stat|stat64|lstat|fstatat|fstatat-nofollow|statx|xstat|xstat64 PATH
 *   fclose | raw-close     c closed through a stream over it, or by the bare system call
 *   channels               the descriptors open on the statistics file
 *   threads N              two threads send N datagrams each, every one on a fresh socket,
 *                          while a third reads /dev/zero through the numbers they free
 *   move-race N PATH       the same senders, while PATH is redirected onto 100 and 101 in turn
 *   fork-race N            the same senders, while the main thread forks children that exit
 *   cancelled-stat PATH    a thread with a cancellation pending makes a status query of PATH
 *   leave HOW STATUS       ends the host by HOW: exit, _exit or _Exit
 *   leave-in-handler HOW STATUS           the same from a handler of a signal it raises
 *   leave-on-sigpipe HOW STATUS           a SIGPIPE handler that leaves by HOW
 *   vfork-_exit            a vfork child that leaves at once by _exit
 *   getenv NAME            prints NAME=value, or NAME unset
 *   ignore-sigpipe | await-no-reader | fork | _fork | daemon | exit STATUS
 *   exec PROGRAM ARG... | execvp PROGRAM ARG... | spawn PROGRAM ARG...   (the rest of the line)
 *   execl PROGRAM [ARG [ARG]]                                         (the rest of the line)
 *   system COMMAND | popen COMMAND                                    (the shell runs COMMAND)
 *   fexecve PROGRAM ARG...                                            (the rest of the line)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

/* The entry points that libc's headers reach only under fortification or old versions. */
ssize_t __read_chk(int, void *, size_t, size_t);
ssize_t __recv_chk(int, void *, size_t, size_t, int);
ssize_t __recvfrom_chk(int, void *, size_t, size_t, int, struct sockaddr *, socklen_t *);
int old_xstat(int, const char *, struct stat *);
int old_xstat64(int, const char *, struct stat64 *);
#ifdef STATIC_HOST
/* A static libc keeps no old versions. */
int old_xstat(int v, const char *path, struct stat *buf) { return (void)v, stat(path, buf); }
int old_xstat64(int v, const char *path, struct stat64 *buf) { return (void)v, stat64(path, buf); }
#elif defined __x86_64__
__asm__(".symver old_xstat,__xstat@GLIBC_2.2.5");
__asm__(".symver old_xstat64,__xstat64@GLIBC_2.2.5");
#else
__asm__(".symver old_xstat,__xstat@GLIBC_2.0");
__asm__(".symver old_xstat64,__xstat64@GLIBC_2.2");
#endif

/* The version argument of the old status entry points ("_STAT_VER_LINUX"). */
#ifdef __x86_64__
enum { STAT_VERSION = 1 };
#else
enum { STAT_VERSION = 3 };
#endif

enum { CHUNK = 1 << 20 };
static char buffer[CHUNK];
static int c = -1, p = -1, k = -1; /* k: a descriptor kept aside by "keep" */

static void die(const char *what) {
  printf("%s failed: %s\n", what, strerror(errno));
  exit(3);
}

/* A socket the library never sees being made. */
static int raw_socket(int domain, int type) {
#ifdef __x86_64__
  long fd = syscall(SYS_socket, domain, type, 0);
#else
  long args[3] = {domain, type, 0};
  long fd = syscall(SYS_socketcall, 1 /* SYS_SOCKET */, args);
#endif
  if (fd < 0) die("raw socket");
  return (int)fd;
}

static void large_buffers(int fd) {
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

static struct sockaddr_in loopback(int fd) {
  struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t len = sizeof addr;
  if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) die("bind");
  getsockname(fd, (struct sockaddr *)&addr, &len);
  return addr;
}

/* Counted listener and accepted connection; the peer connects from an uncounted socket. */
static void make_tcp(void) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  large_buffers(listener);
  struct sockaddr_in addr = loopback(listener);
  listen(listener, 1);
  p = raw_socket(AF_INET, SOCK_STREAM);
  large_buffers(p);
  if (connect(p, (struct sockaddr *)&addr, sizeof addr) != 0) die("connect");
  c = accept(listener, NULL, NULL);
  printf("tcp=%d\n", c >= 0);
}

static void make_udp(void) {
  c = socket(AF_INET, SOCK_DGRAM, 0);
  p = raw_socket(AF_INET, SOCK_DGRAM);
  large_buffers(c);
  large_buffers(p);
  struct sockaddr_in ca = loopback(c), pa = loopback(p);
  connect(c, (struct sockaddr *)&pa, sizeof pa);
  connect(p, (struct sockaddr *)&ca, sizeof ca);
  printf("udp=%d\n", c >= 0);
}

/* A Unix-domain listener and its accepted connection, both through the interposed calls. */
static void make_unix(void) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "statistics-host-%d", (int)getpid());
  socklen_t len = sizeof addr;
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(listener, (struct sockaddr *)&addr, len) != 0) die("bind unix");
  listen(listener, 1);
  p = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(p, (struct sockaddr *)&addr, len) != 0) die("connect unix");
  c = accept(listener, NULL, NULL);
  printf("unix=%d\n", c >= 0);
}

static void make_pipe(void) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe");
  c = fds[1], p = fds[0];
  printf("pipe=1\n");
}

static void drain_peer(long n) {
  for (long got = 0; got < n;) {
    ssize_t r = read(p, buffer, (size_t)(n - got < CHUNK ? n - got : CHUNK));
    if (r <= 0) die("drain");
    got += r;
  }
}

static long send_via(const char *via, long n) {
  struct iovec iov[2] = {{buffer, (size_t)n / 2}, {buffer + n / 2, (size_t)(n - n / 2)}};
  struct mmsghdr msgs[1] = {{.msg_hdr = {.msg_iov = iov, .msg_iovlen = 2}}};
  if (!strcmp(via, "write")) return write(c, buffer, (size_t)n);
  if (!strcmp(via, "send")) return send(c, buffer, (size_t)n, 0);
  if (!strcmp(via, "sendto")) return sendto(c, buffer, (size_t)n, 0, NULL, 0);
  if (!strcmp(via, "writev")) return writev(c, iov, 2);
  if (!strcmp(via, "sendmsg")) return sendmsg(c, &msgs[0].msg_hdr, 0);
  if (!strcmp(via, "sendmmsg")) {
    int sent = sendmmsg(c, msgs, 1, 0);
    return sent == 1 ? (long)msgs[0].msg_len : sent;
  }
  printf("unknown way to send: %s\n", via);
  exit(2);
}

static long recv_via(const char *via, long n, int flags) {
  struct iovec iov[1] = {{buffer, (size_t)n}};
  struct mmsghdr msgs[1] = {{.msg_hdr = {.msg_iov = iov, .msg_iovlen = 1}}};
  if (!strcmp(via, "read")) return read(c, buffer, (size_t)n);
  if (!strcmp(via, "recv")) return recv(c, buffer, (size_t)n, flags);
  if (!strcmp(via, "recvfrom")) return recvfrom(c, buffer, (size_t)n, flags, NULL, NULL);
  if (!strcmp(via, "readv")) return readv(c, iov, 1);
  if (!strcmp(via, "recvmsg")) return recvmsg(c, &msgs[0].msg_hdr, flags);
  if (!strcmp(via, "recvmmsg")) {
    int got = recvmmsg(c, msgs, 1, flags, NULL);
    return got == 1 ? (long)msgs[0].msg_len : got;
  }
  if (!strcmp(via, "read_chk")) return __read_chk(c, buffer, (size_t)n, sizeof buffer);
  if (!strcmp(via, "recv_chk")) return __recv_chk(c, buffer, (size_t)n, sizeof buffer, flags);
  if (!strcmp(via, "recvfrom_chk"))
    return __recvfrom_chk(c, buffer, (size_t)n, sizeof buffer, flags, NULL, NULL);
  printf("unknown way to receive: %s\n", via);
  exit(2);
}

/* Sends n bytes in one call; the peer takes them unless the call was refused. */
static void do_send(long n, const char *via) {
  long r = send_via(via, n);
  printf("send=%ld\n", r);
  if (r > 0) drain_peer(r);
}

/* The peer sends n bytes; the host reads them in as few calls as the stream allows. */
static void do_recv(long n, const char *via) {
  if (write(p, buffer, (size_t)n) != n) die("peer write");
  long total = 0, r = 0;
  while (total < n && (r = recv_via(via, n - total, 0)) > 0) total += r;
  printf("recv=%ld\n", r < 0 ? r : total);
}

/* Looks at what the peer sent without taking it, then takes it. */
static void do_peek(long n, const char *via) {
  if (write(p, buffer, (size_t)n) != n) die("peer write");
  printf("peek=%ld\n", recv_via(via, n, MSG_PEEK | MSG_WAITALL));
  long total = 0, r = 0;
  while (total < n && (r = recv_via(via, n - total, 0)) > 0) total += r;
  printf("recv=%ld\n", r < 0 ? r : total);
}

/* One write larger than the running count can hold; a child drains the peer meanwhile. The
 * child comes from the bare system call, as a fork through libc has the count reported first,
 * and leaves by it: the count it inherited is its parent's to report. */
static void do_big(long n) {
  pid_t child = (pid_t)syscall(SYS_fork);
  if (child == 0) {
    while (syscall(SYS_read, p, buffer, sizeof buffer) > 0) {
    }
    syscall(SYS_exit_group, 0);
  }
  char *data = mmap(NULL, (size_t)n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) die("mmap");
  printf("big=%ld\n", (long)write(c, data, (size_t)n));
  shutdown(c, SHUT_WR);
  waitpid(child, NULL, 0);
}

static void do_sendfile(const char *path, long n) {
  int file = open(path, O_RDONLY);
  long r = (long)sendfile(c, file, NULL, (size_t)n);
  printf("sendfile=%ld\n", r);
  if (r > 0) drain_peer(r);
  close(file);
}

static void do_splice(long n) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe");
  if (write(p, buffer, (size_t)n) != n) die("peer write");
  long total = 0, r = 0;
  while (total < n && (r = (long)splice(c, NULL, fds[1], NULL, (size_t)(n - total), 0)) > 0) {
    if (read(fds[0], buffer, (size_t)r) != r) die("pipe read");
    total += r;
  }
  printf("splice=%ld\n", r < 0 ? r : total);
  close(fds[0]);
  close(fds[1]);
}

/* The kernel hands a datagram that could not be delivered back on the error queue. */
static void do_errqueue(long n) {
  int on = 1;
  setsockopt(c, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  close(p);
  printf("send=%ld\n", (long)send(c, buffer, (size_t)n, 0));
  struct pollfd wait_error = {.fd = c, .events = 0};
  poll(&wait_error, 1, 5000);
  char control[512];
  struct iovec iov = {buffer, (size_t)n};
  struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control,
                       .msg_controllen = sizeof control};
  printf("errqueue=%ld\n", (long)recvmsg(c, &msg, MSG_ERRQUEUE));
}

static void do_read_fd(int fd, long n) {
  printf("read-fd=%ld\n", (long)read(fd, buffer, (size_t)n));
}

/* Opens a regular file onto descriptor `fd`, as a shell redirection does. */
static void do_open_onto(int fd, const char *path) {
  int file = open(path, O_RDONLY);
  int r = dup2(file, fd);
  close(file);
  printf("open-onto=%d\n", r);
}

static void do_stat(const char *how, const char *path) {
  struct stat st;
  struct stat64 st64;
  struct statx stx;
  int r;
  if (!strcmp(how, "stat")) r = stat(path, &st);
  else if (!strcmp(how, "stat64")) r = stat64(path, &st64);
  else if (!strcmp(how, "lstat")) r = lstat(path, &st);
  else if (!strcmp(how, "fstatat")) r = fstatat(AT_FDCWD, path, &st, 0);
  else if (!strcmp(how, "fstatat-nofollow")) r = fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW);
  else if (!strcmp(how, "statx")) r = statx(AT_FDCWD, path, 0, STATX_BASIC_STATS, &stx);
  else if (!strcmp(how, "xstat")) r = old_xstat(STAT_VERSION, path, (struct stat *)&st64);
  else r = old_xstat64(STAT_VERSION, path, &st64);
  printf("%s=%d%s%s\n", how, r, r ? " " : "", r ? strerror(errno) : "");
}

/* Closes c through a stream over it, out of the sight of an interposed close. */
static void do_fclose(void) {
  FILE *stream = fdopen(c, "r+");
  printf("fclose=%d\n", stream ? fclose(stream) : -1);
}

/* The descriptors open on the statistics file. */
static void list_channels(void) {
  struct stat file, open_file;
  const char *gap = "";
  printf("channels=");
  if (stat(getenv("ZENTRA_STAT_FILE"), &file) != 0) die("stat");
  for (int fd = 0; fd < 1024; ++fd)
    if (fstat(fd, &open_file) == 0 && open_file.st_dev == file.st_dev &&
        open_file.st_ino == file.st_ino)
      printf("%s%d", gap, fd), gap = " ";
  printf("\n");
}

/* Threads that send datagrams, each on a fresh counted socket closed right after. */
enum { SENDERS = 2, DATAGRAM = 1000 };
struct sender {
  pthread_t thread;
  long rounds, sent;
  struct sockaddr_in to;
};
static int senders_running;

static void *send_on_fresh_sockets(void *arg) {
  struct sender *s = arg;
  for (long i = 0; i < s->rounds; ++i) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    long r = (long)sendto(fd, buffer, DATAGRAM, 0, (struct sockaddr *)&s->to, sizeof s->to);
    if (r > 0) s->sent += r;
    close(fd);
  }
  __atomic_sub_fetch(&senders_running, 1, __ATOMIC_RELAXED);
  return NULL;
}

/* Starts the senders towards a receiver that nobody reads: the kernel drops what overflows. */
static void start_senders(struct sender *senders, long rounds) {
  int receiver = raw_socket(AF_INET, SOCK_DGRAM);
  struct sockaddr_in to = loopback(receiver);
  __atomic_store_n(&senders_running, SENDERS, __ATOMIC_RELAXED);
  for (int i = 0; i < SENDERS; ++i) {
    senders[i] = (struct sender){.rounds = rounds, .to = to};
    pthread_create(&senders[i].thread, NULL, send_on_fresh_sockets, &senders[i]);
  }
}

static long join_senders(struct sender *senders) {
  long sent = 0;
  for (int i = 0; i < SENDERS; ++i) {
    pthread_join(senders[i].thread, NULL);
    sent += senders[i].sent;
  }
  return sent;
}

static void *read_zero(void *arg) {
  static char zeros[1 << 16];
  (void)arg;
  while (__atomic_load_n(&senders_running, __ATOMIC_RELAXED)) {
    int fd = open("/dev/zero", O_RDONLY);
    (void)!read(fd, zeros, sizeof zeros);
    close(fd);
  }
  return NULL;
}

static void do_threads(long rounds) {
  struct sender senders[SENDERS];
  pthread_t reader;
  start_senders(senders, rounds);
  pthread_create(&reader, NULL, read_zero, NULL);
  long sent = join_senders(senders);
  pthread_join(reader, NULL);
  printf("threads=%ld\n", sent);
}

/* As a start script's "exec 100>file" would, again and again while the senders run. */
static void do_move_race(long rounds, const char *path) {
  struct sender senders[SENDERS];
  int file = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  start_senders(senders, rounds);
  for (int i = 0; __atomic_load_n(&senders_running, __ATOMIC_RELAXED); ++i) {
    dup2(file, 100 + (i & 1));
    close(100 + (i & 1));
  }
  long sent = join_senders(senders);
  struct stat st;
  fstat(file, &st);
  printf("moved=%ld stray=%ld\n", sent, (long)st.st_size);
}

/* Children forked while the senders run leave at once, through exit and its handlers. */
static void do_fork_race(long rounds) {
  struct sender senders[SENDERS];
  start_senders(senders, rounds);
  while (__atomic_load_n(&senders_running, __ATOMIC_RELAXED)) {
    pid_t child = fork();
    if (child == 0) exit(0);
    waitpid(child, NULL, 0);
  }
  printf("fork-race=%ld\n", join_senders(senders));
}

/* A status query made while a cancellation is pending. The query is no cancellation point: the
 * thread leaves at the next one after it. */
static int cancel_requested, stat_done;

static void *stat_when_cancelled(void *path) {
  struct stat st;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
  while (!__atomic_load_n(&cancel_requested, __ATOMIC_ACQUIRE)) sched_yield();
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, NULL);
  stat(path, &st);
  stat_done = 1;
  pthread_testcancel();
  return NULL;
}

static void do_cancelled_stat(const char *path) {
  pthread_t thread;
  void *result;
  pthread_create(&thread, NULL, stat_when_cancelled, (void *)path);
  pthread_cancel(thread);
  __atomic_store_n(&cancel_requested, 1, __ATOMIC_RELEASE);
  pthread_join(thread, &result);
  printf("stat-done=%d cancelled=%d\n", stat_done, result == PTHREAD_CANCELED);
}

/* Ends the host from a handler, as servers do on the signals that stop them. */
static int exit_status;
static void (*leaving)(int);

/* The ways out of a process, by name. */
static void (*way_out(const char *how))(int) {
  if (!strcmp(how, "exit")) return exit;
  if (!strcmp(how, "_exit")) return _exit;
  if (!strcmp(how, "_Exit")) return _Exit;
  printf("unknown way out: %s\n", how);
  exit(2);
}

static void leave_on_signal(int sig) {
  (void)sig;
  leaving(exit_status);
}

static void set_leaving(const char *how, const char *status, int sig) {
  leaving = way_out(how);
  exit_status = atoi(status);
  signal(sig, leave_on_signal);
}

/* A vfork child shares its parent's memory until it leaves. */
static void do_vfork_exit(void) {
  pid_t child = vfork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  printf("vfork-child=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

/* Waits until the statistics file's reader has gone (an open for writing finds none). */
static void await_no_reader(void) {
  const char *path = getenv("ZENTRA_STAT_FILE");
  for (;;) {
    int fd = open(path, O_WRONLY | O_NONBLOCK);
    if (fd == -1) break;
    close(fd);
    nanosleep(&(struct timespec){0, 10 * 1000 * 1000}, NULL);
  }
  printf("await-no-reader=%d\n", errno == ENXIO);
}

/* The child runs the rest of the commands; the parent waits for it and stops. */
static int do_fork(pid_t (*how)(void)) {
  pid_t child = how();
  if (child == 0) return 0;
  int status = 0;
  waitpid(child, &status, 0);
  printf("child=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 1;
}

/* Starts the rest of the command line as a program found in PATH and waits for it. */
static void do_spawn(char **command) {
  pid_t pid;
  int error = posix_spawnp(&pid, command[0], NULL, NULL, command, environ);
  if (error) {
    printf("spawn=%s\n", strerror(error));
    return;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  printf("spawned=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

static int is_stat(const char *cmd) {
  static const char *const names[] = {"stat",  "stat64", "lstat", "fstatat", "fstatat-nofollow",
                                      "statx", "xstat",  "xstat64"};
  for (size_t i = 0; i < sizeof names / sizeof *names; ++i)
    if (!strcmp(cmd, names[i])) return 1;
  return 0;
}

static int descriptor(const char *name) {
  return !strcmp(name, "c") ? c : !strcmp(name, "k") ? k : atoi(name);
}

static void set_counted(int fd, const char *what) {
  printf("%s=%d\n", what, fd);
  if (fd != -1) c = fd;
}

/* Runs the command at argv[i]; returns the index of the next one, or argc to stop. */
static int run(int argc, char **argv, int i) {
  const char *cmd = argv[i];
  const char *a1 = i + 1 < argc ? argv[i + 1] : "";
  const char *a2 = i + 2 < argc ? argv[i + 2] : "";
  if (!strcmp(cmd, "echo")) return printf("%s\n", a1), i + 2;
  if (!strcmp(cmd, "tcp")) return make_tcp(), i + 1;
  if (!strcmp(cmd, "udp")) return make_udp(), i + 1;
  if (!strcmp(cmd, "unix")) return make_unix(), i + 1;
  if (!strcmp(cmd, "pipe")) return make_pipe(), i + 1;
  if (!strcmp(cmd, "file")) return set_counted(open(a1, O_RDONLY), "file"), i + 2;
  if (!strcmp(cmd, "send")) return do_send(atol(a1), a2), i + 3;
  if (!strcmp(cmd, "recv")) return do_recv(atol(a1), a2), i + 3;
  if (!strcmp(cmd, "peek")) return do_peek(atol(a1), a2), i + 3;
  if (!strcmp(cmd, "peer-send"))
    return printf("peer-send=%ld\n", (long)write(p, buffer, (size_t)atol(a1))), i + 2;
  if (!strcmp(cmd, "errqueue")) return do_errqueue(atol(a1)), i + 2;
  if (!strcmp(cmd, "sendfile")) return do_sendfile(a1, atol(a2)), i + 3;
  if (!strcmp(cmd, "splice")) return do_splice(atol(a1)), i + 2;
  if (!strcmp(cmd, "big")) return do_big(atol(a1)), i + 2;
  if (!strcmp(cmd, "keep")) return k = c, i + 1;
  if (!strcmp(cmd, "close-all")) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    return i + 1;
  }
  if (!strcmp(cmd, "close-range"))
    return printf("close-range=%d\n", close_range((unsigned)atoi(a1), (unsigned)atoi(a2), 0)), i + 3;
  if (!strcmp(cmd, "closefrom")) return closefrom(atoi(a1)), i + 2;
  if (!strcmp(cmd, "read-fd")) return do_read_fd(descriptor(a1), atol(a2)), i + 3;
  if (!strcmp(cmd, "open-onto")) return do_open_onto(atoi(a1), a2), i + 3;
  if (!strcmp(cmd, "dup")) return set_counted(dup(c), "dup"), i + 1;
  if (!strcmp(cmd, "dup2")) return set_counted(dup2(c, atoi(a1)), "dup2"), i + 2;
  if (!strcmp(cmd, "dup3")) return set_counted(dup3(c, atoi(a1), 0), "dup3"), i + 2;
  if (!strcmp(cmd, "fcntl-dup")) return set_counted(fcntl(c, F_DUPFD, atoi(a1)), "fcntl-dup"), i + 2;
  if (!strcmp(cmd, "close")) return printf("close=%d\n", close(c)), i + 1;
  if (!strcmp(cmd, "fclose")) return do_fclose(), i + 1;
  if (!strcmp(cmd, "raw-close")) return printf("raw-close=%ld\n", syscall(SYS_close, c)), i + 1;
  if (!strcmp(cmd, "channels")) return list_channels(), i + 1;
  if (!strcmp(cmd, "threads")) return do_threads(atol(a1)), i + 2;
  if (!strcmp(cmd, "move-race")) return do_move_race(atol(a1), a2), i + 3;
  if (is_stat(cmd)) return do_stat(cmd, a1), i + 2;
  if (!strcmp(cmd, "fork-race")) return do_fork_race(atol(a1)), i + 2;
  if (!strcmp(cmd, "cancelled-stat")) return do_cancelled_stat(a1), i + 2;
  if (!strcmp(cmd, "ignore-sigpipe")) return signal(SIGPIPE, SIG_IGN), i + 1;
  if (!strcmp(cmd, "leave")) way_out(a1)(atoi(a2));
  if (!strcmp(cmd, "leave-in-handler")) return set_leaving(a1, a2, SIGUSR1), raise(SIGUSR1), i + 3;
  if (!strcmp(cmd, "leave-on-sigpipe")) return set_leaving(a1, a2, SIGPIPE), i + 3;
  if (!strcmp(cmd, "vfork-_exit")) return do_vfork_exit(), i + 1;
  if (!strcmp(cmd, "getenv")) {
    const char *value = getenv(a1);
    return printf("%s%s%s\n", a1, value ? "=" : " unset", value ? value : ""), i + 2;
  }
  if (!strcmp(cmd, "await-no-reader")) return await_no_reader(), i + 1;
  if (!strcmp(cmd, "exit")) exit(atoi(a1));
  if (!strcmp(cmd, "fork")) return do_fork(fork) ? argc : i + 1;
  if (!strcmp(cmd, "_fork")) return do_fork(_Fork) ? argc : i + 1;
  if (!strcmp(cmd, "daemon")) {
    if (fork() > 0) _exit(0); /* as a daemonising parent leaves, without exit handlers */
    return i + 1;
  }
  if (!strcmp(cmd, "execvp")) {
    execvp(a1, argv + i + 1);
    die("execvp");
  }
  if (!strcmp(cmd, "system")) return printf("system=%d\n", system(a1)), i + 2;
  if (!strcmp(cmd, "popen")) {
    FILE *shell = popen(a1, "r");
    while (shell && fgets(buffer, sizeof buffer, shell)) fputs(buffer, stdout);
    return printf("pclose=%d\n", shell ? pclose(shell) : -1), i + 2;
  }
  if (!strcmp(cmd, "fexecve")) {
    fexecve(open(a1, O_RDONLY), argv + i + 1, environ);
    die("fexecve");
  }
  if (!strcmp(cmd, "execl")) {
    execl(a1, a1, i + 2 < argc ? argv[i + 2] : NULL, i + 3 < argc ? argv[i + 3] : NULL, (char *)NULL);
    die("execl");
  }
  if (!strcmp(cmd, "spawn")) return do_spawn(argv + i + 1), argc;
  if (!strcmp(cmd, "exec")) {
    execve(a1, argv + i + 1, environ);
    die("exec");
  }
  printf("unknown command: %s\n", cmd);
  exit(2);
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  for (int i = 1; i < argc;) i = run(argc, argv, i);
  return 0;
}
