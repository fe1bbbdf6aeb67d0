/* A stand-in for the system log daemon of a sandbox: binds a datagram socket at PATH (mode
 * 0666), then detaches and appends every message sent to it, as one line, to FILE.
 *   syslog_stand_in PATH FILE
 * It returns once the socket is bound, so that what runs next can log at once. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static int fail(const char *what) {
  perror(what);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: syslog_stand_in PATH FILE\n");
    return 2;
  }
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if (strlen(argv[1]) >= sizeof address.sun_path) return fail("socket path");
  strcpy(address.sun_path, argv[1]);
  const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0 || out < 0) return fail("syslog stand-in");
  unlink(argv[1]);
  if (bind(log, (struct sockaddr *)&address, sizeof address) != 0) return fail(argv[1]);
  chmod(argv[1], 0666);
  const pid_t pid = fork();
  if (pid < 0) return fail("fork");
  if (pid > 0) return 0;
  /* Whoever started it may wait for the end of its output: hold none of its streams. */
  setsid();
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  char line[8193];
  for (;;) {
    const ssize_t size = recv(log, line, sizeof line - 1, 0);
    if (size <= 0) continue;
    size_t length = (size_t)size;
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\0')) --length;
    line[length++] = '\n';
    if (write(out, line, length) < 0) continue;
  }
}
