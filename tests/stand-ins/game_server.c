/* A stand-in for a game installation's hlds_run, for tests and demos. As far as the manager
 * can tell it is a dedicated server with players:
 *   - it writes its pid to the file after -pidfile, and a report of how it was started
 *     (identity, working directory, the launcher's environment, arguments) to the same path
 *     with ".pid" replaced by ".run";
 *   - it exchanges UDP datagrams on loopback with a player socket that the statistics library
 *     never sees being made, so exactly the server's side of the traffic is counted:
 *     ZENTRA_STAND_IN_BYTES bytes right after the start, then ZENTRA_STAND_IN_PER_SECOND bytes
 *     each second (both default to 0);
 *   - it runs until SIGTERM or SIGINT and then exits with status 0, or ends by itself
 *     ZENTRA_STAND_IN_SECONDS seconds after the start when that is set; its report then ends
 *     with "exchanged N", the bytes its socket moved.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { DATAGRAM = 1200 };

static volatile sig_atomic_t stopping;
static int server = -1, player = -1;
static long long exchanged;
static char report_path[4096];

static void die(const char *what) {
  fprintf(stderr, "game server stand-in: %s: %s\n", what, strerror(errno));
  exit(3);
}

static long long env_number(const char *name) {
  const char *text = getenv(name);
  return text != NULL && *text != '\0' ? atoll(text) : 0;
}

static const char *option_value(int argc, char **argv, const char *name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], name) == 0) return argv[i + 1];
  return NULL;
}

static void write_pid_file(const char *path) {
  FILE *file = fopen(path, "w");
  if (file == NULL) die(path);
  fprintf(file, "%d\n", (int)getpid());
  if (fclose(file) != 0) die(path);
}

/* "<base>.run" beside "<base>.pid": what the tests check about the start. */
static void write_report(const char *pid_file, int argc, char **argv) {
  size_t length = strlen(pid_file);
  if (length > 4 && strcmp(pid_file + length - 4, ".pid") == 0) length -= 4;
  snprintf(report_path, sizeof report_path, "%.*s.run", (int)length, pid_file);
  FILE *file = fopen(report_path, "w");
  if (file == NULL) die(report_path);
  gid_t groups[256];
  const int count = getgroups(256, groups);
  char cwd[4096];
  fprintf(file, "uid %d %d\ngid %d %d\ngroups", (int)getuid(), (int)geteuid(), (int)getgid(), (int)getegid());
  for (int i = 0; i < count; ++i) fprintf(file, " %d", (int)groups[i]);
  fprintf(file, "\ncwd %s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
  static const char *const launcher_variables[] = {"ZENTRA_STAT_REGIME", "ZENTRA_STAT_FILE", "LD_PRELOAD"};
  for (size_t i = 0; i < sizeof launcher_variables / sizeof *launcher_variables; ++i) {
    const char *value = getenv(launcher_variables[i]);
    fprintf(file, "env %s=%s\n", launcher_variables[i], value != NULL ? value : "");
  }
  for (int i = 0; i < argc; ++i) fprintf(file, "arg %s\n", argv[i]);
  if (fclose(file) != 0) die(report_path);
}

static void report_exchanged(void) {
  FILE *file = report_path[0] != '\0' ? fopen(report_path, "a") : NULL;
  if (file == NULL) return;
  fprintf(file, "exchanged %lld\n", exchanged);
  fclose(file);
}

static struct sockaddr_in bound_to_loopback(int fd) {
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t length = sizeof address;
  if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0) die("bind");
  if (getsockname(fd, (struct sockaddr *)&address, &length) != 0) die("getsockname");
  return address;
}

/* The server's socket through the library; the player's by system call, so it is not counted. */
static void open_sockets(void) {
  server = socket(AF_INET, SOCK_DGRAM, 0);
  player = (int)syscall(SYS_socket, AF_INET, SOCK_DGRAM, 0);
  if (server < 0 || player < 0) die("socket");
  const struct sockaddr_in server_address = bound_to_loopback(server);
  bound_to_loopback(player);
  if (connect(player, (const struct sockaddr *)&server_address, sizeof server_address) != 0) die("connect");
}

/* One request of `in` bytes from the player, answered with `out` bytes (none when 0). */
static void round_trip(size_t in, size_t out) {
  static char data[DATAGRAM];
  struct sockaddr_in from;
  socklen_t from_length = sizeof from;
  if (send(player, data, in, 0) != (ssize_t)in) die("player send");
  ssize_t got;
  while ((got = recvfrom(server, data, sizeof data, 0, (struct sockaddr *)&from, &from_length)) < 0 && errno == EINTR) {
  }
  if (got != (ssize_t)in) die("server recvfrom");
  if (out == 0) return;
  if (sendto(server, data, out, 0, (const struct sockaddr *)&from, from_length) != (ssize_t)out) die("server sendto");
  while ((got = recv(player, data, sizeof data, 0)) < 0 && errno == EINTR) {
  }
  if (got != (ssize_t)out) die("player recv");
}

/* Exactly `bytes` bytes through the server's socket, requests and answers together. */
static void exchange(long long bytes) {
  while (bytes > 0) {
    const size_t in = bytes < DATAGRAM ? (size_t)bytes : DATAGRAM;
    bytes -= (long long)in;
    const size_t out = bytes < DATAGRAM ? (size_t)bytes : DATAGRAM;
    bytes -= (long long)out;
    round_trip(in, out);
    exchanged += (long long)(in + out);
  }
}

static void on_stop(int signal_number) {
  (void)signal_number;
  stopping = 1;
}

/* Stop signals are blocked except while waiting, so none is missed between check and wait. */
static sigset_t catch_stop_signals(void) {
  struct sigaction action = {.sa_handler = on_stop};
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  sigset_t stop, previous;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, &previous);
  sigdelset(&previous, SIGTERM);
  sigdelset(&previous, SIGINT);
  return previous;
}

static double now(void) {
  struct timespec time;
  clock_gettime(CLOCK_MONOTONIC, &time);
  return (double)time.tv_sec + (double)time.tv_nsec / 1e9;
}

/* Waits up to `seconds` (forever when negative) or until a stop signal. */
static void wait_a_while(double seconds, const sigset_t *waiting_mask) {
  struct timespec timeout = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  ppoll(NULL, 0, seconds < 0 ? NULL : &timeout, waiting_mask);
}

int main(int argc, char **argv) {
  const sigset_t waiting_mask = catch_stop_signals();
  const char *pid_file = option_value(argc, argv, "-pidfile");
  if (pid_file != NULL) {
    write_pid_file(pid_file);
    write_report(pid_file, argc, argv);
  }
  open_sockets();
  exchange(env_number("ZENTRA_STAND_IN_BYTES"));
  const long long per_second = env_number("ZENTRA_STAND_IN_PER_SECOND");
  const char *lifetime = getenv("ZENTRA_STAND_IN_SECONDS");
  const double end = lifetime != NULL ? now() + atof(lifetime) : -1;
  double next = now() + 1;
  while (!stopping && (end < 0 || now() < end)) {
    double wake = per_second > 0 ? next : -1;
    if (end >= 0 && (wake < 0 || end < wake)) wake = end;
    const double left = wake - now();
    wait_a_while(wake < 0 ? -1 : left > 0 ? left : 0, &waiting_mask);
    if (!stopping && per_second > 0 && now() >= next) {
      exchange(per_second);
      next += 1;
    }
  }
  report_exchanged();
  return 0;
}
