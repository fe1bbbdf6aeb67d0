#define _GNU_SOURCE
#include "peer_link.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

/* A lost answer fails the run instead of hanging it. */
enum { ANSWER_TIMEOUT_SECONDS = 60 };

void peer_link_die(const char *what) {
  fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, strerror(errno));
  exit(3);
}

struct sockaddr_in peer_address(void) {
  struct sockaddr_in address = {.sin_family = AF_INET};
  const char *text = getenv("ZENTRA_STAND_IN_PEER");
  char host[INET_ADDRSTRLEN];
  unsigned port = 0;
  errno = EINVAL;
  if (text == NULL || sscanf(text, "%15[0-9.]:%u", host, &port) != 2 || port == 0 || port > 65535 ||
      inet_pton(AF_INET, host, &address.sin_addr) != 1)
    peer_link_die("ZENTRA_STAND_IN_PEER (127.0.0.1:PORT)");
  address.sin_port = htons((uint16_t)port);
  return address;
}

void connect_to_peer(int fd) {
  const struct sockaddr_in address = peer_address();
  if (connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) peer_link_die("connect to the peer");
}

static ssize_t receive_answer(int fd, char *data, size_t size) {
  ssize_t got;
  while ((got = recv(fd, data, size, 0)) < 0 && errno == EINTR) {
  }
  return got;
}

/* One request of `in` bytes, answered with `out` bytes (none when 0). */
static void round_trip(int fd, size_t in, size_t out) {
  static char data[PEER_DATAGRAM];
  memset(data, 'p', in);
  if (in == PEER_DATAGRAM) {
    data[0] = (char)(out >> 8);
    data[1] = (char)(out & 0xff);
  }
  if (send(fd, data, in, 0) != (ssize_t)in) peer_link_die("send to the peer");
  if (out == 0) return;
  const ssize_t got = receive_answer(fd, data, sizeof data);
  if (got < 0) peer_link_die("the peer's answer");
  if (got != (ssize_t)out) {
    errno = EPROTO;
    peer_link_die("the peer's answer is short");
  }
}

void exchange_with_peer(int fd, long long bytes) {
  const struct timeval timeout = {.tv_sec = ANSWER_TIMEOUT_SECONDS};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) peer_link_die("SO_RCVTIMEO");
  /* Only a full request can say how much to answer: a short one is always the last. */
  while (bytes > 0) {
    const size_t in = bytes < PEER_DATAGRAM ? (size_t)bytes : PEER_DATAGRAM;
    bytes -= (long long)in;
    const size_t out = bytes < PEER_DATAGRAM ? (size_t)bytes : PEER_DATAGRAM;
    bytes -= (long long)out;
    round_trip(fd, in, out);
  }
}

static int control_connection(void) {
  const char *path = getenv("ZENTRA_STAND_IN_PEER_CONTROL");
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  errno = EINVAL;
  if (path == NULL || strlen(path) >= sizeof address.sun_path) peer_link_die("ZENTRA_STAND_IN_PEER_CONTROL");
  strcpy(address.sun_path, path);
  const int control = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (control < 0 || connect(control, (const struct sockaddr *)&address, sizeof address) != 0)
    peer_link_die(path);
  return control;
}

void order_from_peer(int fd, long long bytes) {
  struct sockaddr_in local;
  socklen_t length = sizeof local;
  if (getsockname(fd, (struct sockaddr *)&local, &length) != 0) peer_link_die("getsockname");
  char order[64], answer[8] = "";
  const int size = snprintf(order, sizeof order, "send %u %lld\n", (unsigned)ntohs(local.sin_port), bytes);
  const int control = control_connection();
  if (write(control, order, (size_t)size) != size) peer_link_die("order to the peer");
  const ssize_t got = read(control, answer, sizeof answer - 1);
  if (got != 3 || strcmp(answer, "ok\n") != 0) {
    errno = EPROTO;
    peer_link_die("the peer refused the order");
  }
  close(control);
}
