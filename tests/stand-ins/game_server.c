/* A stand-in for a game installation's hlds_run, for tests and demos. As far as the manager
 * can tell it is a dedicated server with players:
 *   - it writes its pid to the file after -pidfile, and a report of how it was started
 *     (identity, working directory, the launcher's environment, arguments) to the same path
 *     with ".pid" replaced by ".run";
 *   - it exchanges UDP datagrams with its "players", the peer stand-in that
 *     ZENTRA_STAND_IN_PEER names (peer.c), outside the server's processes, so exactly the
 *     server's side of the traffic is counted: ZENTRA_STAND_IN_BYTES bytes right after the
 *     start, then ZENTRA_STAND_IN_PER_SECOND bytes each second (both default to 0);
 *   - it runs until SIGTERM or SIGINT and then exits with status 0, or ends by itself
 *     ZENTRA_STAND_IN_SECONDS seconds after the start when that is set; its report then ends
 *     with "exchanged N", the bytes its socket moved.
 * Before the first exchange (a fork makes the library report what it counted so far) it moves
 * bytes with the peer in ways that a preloaded library can not see, each when its variable is
 * set:
 *   ZENTRA_STAND_IN_STATIC_HELPER=PATH, ZENTRA_STAND_IN_STATIC_BYTES=N
 *       runs PATH N (fork and exec; the statically linked static_helper_stand_in) and waits
 *       for it to exit with status 0;
 *   ZENTRA_STAND_IN_STDIO_BYTES=N
 *       writes N bytes of text with fprintf to a stream made by fdopen on a TCP connection to
 *       the peer (libc's own write underneath);
 *   ZENTRA_STAND_IN_RESOLVE=NAME
 *       resolves NAME (IPv4) with getaddrinfo, whose resolver makes its own sockets;
 *   ZENTRA_STAND_IN_TERM_KILLS=1
 *       SIGTERM is not caught: it ends the server at once, before the library reports what it
 *       counted since its last record.
 * Once they and the first exchange are done the report says "hidden moved N" (the helper's and
 * the stream's bytes).
 * Each exits with status 3 and a line on standard error when its bytes could not be moved.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "peer_link.h"

static volatile sig_atomic_t stopping;
static int server = -1, server_connected;
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

/* Appends a line to the report, when there is one. */
static void report(const char *line, long long number) {
  FILE *file = report_path[0] != '\0' ? fopen(report_path, "a") : NULL;
  if (file == NULL) return;
  fprintf(file, "%s %lld\n", line, number);
  fclose(file);
}

/* Exactly `bytes` bytes through the server's socket, requests and answers together. */
static void exchange(long long bytes) {
  if (bytes <= 0) return;
  if (!server_connected) connect_to_peer(server);
  server_connected = 1;
  exchange_with_peer(server, bytes);
  exchanged += bytes;
}

/* Runs `path` `bytes` in a child with the signal mask of a waiting server; dies unless it
 * exits with status 0. */
static void run_static_helper(const char *path, long long bytes, const sigset_t *waiting_mask) {
  char argument[32];
  snprintf(argument, sizeof argument, "%lld", bytes);
  const pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    sigprocmask(SIG_SETMASK, waiting_mask, NULL);
    execl(path, path, argument, (char *)NULL);
    die(path);
  }
  int status;
  if (waitpid(child, &status, 0) != child) die("waitpid");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    errno = ECHILD;
    die(path);
  }
}

/* Writes `bytes` bytes of text to the peer through a stream: fprintf's bytes leave through
 * libc's internal write, which no preload can interpose. */
static void write_text_stream(long long bytes) {
  static const char line[] = "player 17 says: good game, well played\n";
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  connect_to_peer(fd);
  FILE *stream = fdopen(fd, "w");
  if (stream == NULL) die("fdopen");
  for (; bytes > 0; bytes -= (long long)sizeof line - 1) {
    const int n = bytes < (long long)sizeof line - 1 ? (int)bytes : (int)sizeof line - 1;
    if (fprintf(stream, "%.*s", n, line) != n) die("fprintf");
  }
  if (fclose(stream) != 0) die("fclose");
}

/* Resolves `name` to IPv4 addresses, or dies. */
static void resolve(const char *name) {
  const struct addrinfo hints = {.ai_family = AF_INET, .ai_socktype = SOCK_DGRAM};
  struct addrinfo *found = NULL;
  const int error = getaddrinfo(name, NULL, &hints, &found);
  if (error != 0) {
    fprintf(stderr, "game server stand-in: %s: %s\n", name, gai_strerror(error));
    exit(3);
  }
  freeaddrinfo(found);
}

/* The traffic of the variables above, none of it through the server's socket: the bytes of the
 * helper and the stream (the resolver's are the resolver's to choose), -1 when none is set. */
static long long move_hidden_bytes(const sigset_t *waiting_mask) {
  const char *helper = getenv("ZENTRA_STAND_IN_STATIC_HELPER");
  const char *name = getenv("ZENTRA_STAND_IN_RESOLVE");
  const long long helper_bytes = helper != NULL ? env_number("ZENTRA_STAND_IN_STATIC_BYTES") : 0;
  const long long stream_bytes = env_number("ZENTRA_STAND_IN_STDIO_BYTES");
  if (helper != NULL) run_static_helper(helper, helper_bytes, waiting_mask);
  if (stream_bytes > 0) write_text_stream(stream_bytes);
  if (name != NULL) resolve(name);
  return helper != NULL || stream_bytes > 0 || name != NULL ? helper_bytes + stream_bytes : -1;
}

static void on_stop(int signal_number) {
  (void)signal_number;
  stopping = 1;
}

/* Stop signals are blocked except while waiting, so none is missed between check and wait. */
static sigset_t catch_stop_signals(int term_kills) {
  struct sigaction action = {.sa_handler = on_stop};
  sigemptyset(&action.sa_mask);
  if (!term_kills) sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  sigset_t stop, previous;
  sigemptyset(&stop);
  if (!term_kills) sigaddset(&stop, SIGTERM);
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
  const sigset_t waiting_mask = catch_stop_signals(env_number("ZENTRA_STAND_IN_TERM_KILLS") != 0);
  const char *pid_file = option_value(argc, argv, "-pidfile");
  if (pid_file != NULL) {
    write_pid_file(pid_file);
    write_report(pid_file, argc, argv);
  }
  server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (server < 0) die("socket");
  const long long hidden = move_hidden_bytes(&waiting_mask);
  exchange(env_number("ZENTRA_STAND_IN_BYTES"));
  if (hidden >= 0) report("hidden moved", hidden);
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
  report("exchanged", exchanged);
  return 0;
}
