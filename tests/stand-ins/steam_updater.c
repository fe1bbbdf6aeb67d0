/* A stand-in for the Steam updater, for tests and benchmarks:
 *   steam -command update -game G -dir D [-username U -password P]
 * It prints its arguments, downloads real bytes from the peer stand-in (peer.c) that
 * ZENTRA_STAND_IN_PEER names, a process outside the updater's, through ordinary socket calls
 * (so a preloaded statistics library counts them), queries install records inside D with
 * stat, and exits with the status its plan names.
 *
 * The plan is the file argv[0] + ".plan", one line per game: the game's name as the updater
 * is given it, a tab, then words
 *   bytes=N     bytes to download (default 0)
 *   chunk=N     bytes asked for per receive call (default 16384)
 *   records=N   install records to query, D/depot_<i>/InstallRecord.blob (default 0)
 *   wait=PATH   then create PATH.started and wait until PATH exists
 *   child=PATH  then leave a child named "updater-child" behind, holding what the updater
 *               holds open (the statistics FIFO), that creates PATH.started and ends once
 *               PATH exists
 *   status=N    exit status (default 0)
 * A game without a line gets the defaults.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "peer_link.h"

struct plan {
  long long bytes;
  long chunk;
  long records;
  int status;
  char wait[4096];
  char child[4096];
};

static char buffer[1 << 20];

static void die(const char *what) {
  printf("steam stand-in: %s failed: %s\n", what, strerror(errno));
  exit(70);
}

static const char *argument_after(int argc, char **argv, const char *name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], name) == 0) return argv[i + 1];
  return NULL;
}

static void read_plan(const char *program, const char *game, struct plan *plan) {
  char path[4096], line[8192];
  *plan = (struct plan){.chunk = 16384};
  snprintf(path, sizeof path, "%s.plan", program);
  FILE *file = fopen(path, "r");
  if (!file) return;
  size_t name_length = strlen(game);
  while (fgets(line, sizeof line, file)) {
    if (strncmp(line, game, name_length) != 0 || line[name_length] != '\t') continue;
    for (char *word = strtok(line + name_length + 1, " \t\n"); word; word = strtok(NULL, " \t\n")) {
      if (!strncmp(word, "bytes=", 6)) plan->bytes = atoll(word + 6);
      else if (!strncmp(word, "chunk=", 6)) plan->chunk = atol(word + 6);
      else if (!strncmp(word, "records=", 8)) plan->records = atol(word + 8);
      else if (!strncmp(word, "status=", 7)) plan->status = atoi(word + 7);
      else if (!strncmp(word, "wait=", 5)) snprintf(plan->wait, sizeof plan->wait, "%s", word + 5);
      else if (!strncmp(word, "child=", 6)) snprintf(plan->child, sizeof plan->child, "%s", word + 6);
    }
  }
  fclose(file);
  if (plan->chunk <= 0 || plan->chunk > (long)sizeof buffer) plan->chunk = sizeof buffer;
}

/* Downloads `bytes` from the peer; the seconds it took. The order goes over the peer's control
 * socket, so the connection carries the download alone. */
static double download(long long bytes, long chunk) {
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0) die("socket");
  connect_to_peer(connection);
  order_from_peer(connection, bytes);
  long long received = 0;
  for (ssize_t n; (n = recv(connection, buffer, (size_t)chunk, 0)) != 0; received += n) {
    if (n < 0 && errno != EINTR) die("recv");
    if (n < 0) n = 0;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  close(connection);
  if (received != bytes) {
    errno = EPROTO;
    die("download");
  }
  return (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
}

static void query_install_records(const char *dir, long records) {
  char path[8192];
  struct stat st;
  for (long i = 0; i < records; ++i) {
    snprintf(path, sizeof path, "%s/depot_%ld/InstallRecord.blob", dir, i);
    stat(path, &st);
  }
}

static void wait_for(const char *path) {
  char started[8192];
  snprintf(started, sizeof started, "%s.started", path);
  FILE *mark = fopen(started, "w");
  if (mark) fclose(mark);
  while (access(path, F_OK) != 0) usleep(10000);
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  printf("steam stand-in:");
  for (int i = 1; i < argc; ++i) printf(" <%s>", argv[i]);
  printf("\n");
  const char *game = argument_after(argc, argv, "-game");
  const char *dir = argument_after(argc, argv, "-dir");
  if (!game || !dir) return 64;

  struct plan plan;
  read_plan(argv[0], game, &plan);
  if (plan.bytes > 0) {
    double seconds = download(plan.bytes, plan.chunk);
    printf("downloaded %lld bytes in %.6f s\n", plan.bytes, seconds);
  }
  query_install_records(dir, plan.records);
  printf("queried %ld install records\n", plan.records);
  if (plan.wait[0]) wait_for(plan.wait);
  if (plan.child[0]) {
    pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
      prctl(PR_SET_NAME, "updater-child");
      wait_for(plan.child);
      _exit(0);
    }
  }
  return plan.status;
}
