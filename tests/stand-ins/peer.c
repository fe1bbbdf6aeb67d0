/* The stand-ins' peer on loopback: the "players" of the game server and the download server of
 * the updater, in a process of its own, so that a meter that counts every process of a job
 * sees only the job's side of the traffic. On one port of 127.0.0.1 it serves
 *   - UDP: a request of PEER_DATAGRAM bytes is answered with the number of bytes its first two
 *     bytes name (big-endian); a shorter request gets no answer;
 *   - TCP: everything a connection sends is read; a connection whose local port a client
 *     named in an order ("send PORT N" on the control socket) is sent N bytes, then its write
 *     side is shut;
 *   - with --dns, DNS on UDP port 53 of an address of its own in 127.0.0.0/8: every A query
 *     of class IN is answered with 127.0.0.1, any other query with no record.
 * It counts the payload bytes it moved, both ways, on all of them.
 *
 *   peer_stand_in [--dns] DIR       makes DIR and its control socket DIR/control (mode 0666),
 *                                   detaches, and once everything is bound prints
 *                                   ZENTRA_STAND_IN_PEER=127.0.0.1:PORT,
 *                                   ZENTRA_STAND_IN_PEER_CONTROL=DIR/control and, with
 *                                   --dns, ZENTRA_STAND_IN_DNS=ADDRESS, one a line
 *   peer_stand_in --count CONTROL   prints the bytes moved since the previous count (or the
 *                                   start), once everything that had arrived is read
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "peer_link.h"

enum { MAX_CONNECTIONS = 512, MAX_ORDERS = 256, BURST = 64, RECEIVE_BUFFER = 32 << 20 };
enum { DNS_HEADER = 12, DNS_ANSWER = 16, DNS_TYPE_A = 1, DNS_CLASS_IN = 1 };

/* An accepted TCP connection: its client's port, the bytes still to send it, whether it has
 * sent everything (end of file). */
struct connection {
  int fd;
  unsigned port;
  long long to_send;
  int read_all;
};

/* An order for a connection not accepted yet. */
struct order {
  unsigned port;
  long long bytes;
};

static struct connection connections[MAX_CONNECTIONS];
static size_t connection_count;
static struct order orders[MAX_ORDERS];
static size_t order_count;
static int listener = -1, datagrams = -1, dns = -1, control = -1;
static unsigned long long moved;
/* What arrives lands in `buffer`; downloads are sent from `filler`. */
static char buffer[1 << 20];
static const char filler[1 << 20];

/* Says what failed and why on standard error; exits with status 3. */
static void die(const char *what) {
  fprintf(stderr, "peer stand-in: %s: %s\n", what, strerror(errno));
  exit(3);
}

/* ---- set-up ---- */

/* A socket of `type` bound to `address`, which then holds the port bound; -1 when taken. */
static int loopback_socket(int type, struct sockaddr_in *address) {
  const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  if (bind(fd, (const struct sockaddr *)address, sizeof *address) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof *address;
  if (getsockname(fd, (struct sockaddr *)address, &length) != 0) die("getsockname");
  return fd;
}

/* Datagrams queue while the peer serves others: room for thousands, so none is dropped. */
static void widen_receive_buffer(int fd) {
  const int size = RECEIVE_BUFFER;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
    die("SO_RCVBUF");
}

/* TCP and UDP on one free port; the host's loopback is shared, so a taken UDP port means another try. */
static unsigned bind_peer_port(void) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    listener = loopback_socket(SOCK_STREAM, &address);
    if (listener < 0) die("bind TCP");
    datagrams = loopback_socket(SOCK_DGRAM, &address);
    if (datagrams >= 0) {
      if (listen(listener, SOMAXCONN) != 0) die("listen");
      widen_receive_buffer(datagrams);
      return ntohs(address.sin_port);
    }
    close(listener);
  }
  die("no port free for both TCP and UDP");
  return 0;
}

/* Port 53 of a random 127.x.y.z: another sandbox's server or the host's may hold any one. */
static void bind_dns(char *name, size_t size) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    unsigned char r[3];
    if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r) die("getrandom");
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(53)};
    address.sin_addr.s_addr = htonl(0x7f000000u | (unsigned)(r[0] % 254 + 1) << 16 | (unsigned)r[1] << 8 |
                                    (unsigned)(r[2] % 254 + 1));
    dns = loopback_socket(SOCK_DGRAM, &address);
    if (dns >= 0) {
      widen_receive_buffer(dns);
      inet_ntop(AF_INET, &address.sin_addr, name, (socklen_t)size);
      return;
    }
  }
  die("bind DNS on port 53");
}

/* Makes `dir` (which must not exist) and listens on `dir`/control, written to `path`, that
 * any account may connect to: the stand-ins run as the system user. */
static void bind_control(const char *dir, char *path, size_t size) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if ((size_t)snprintf(path, size, "%s/control", dir) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    die(dir);
  }
  if (mkdir(dir, 0755) != 0) die(dir);
  strcpy(address.sun_path, path);
  control = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (control < 0) die("socket");
  /* The mode comes with the bind: no later change by path. */
  const mode_t mask = umask(0111);
  const int bound = bind(control, (const struct sockaddr *)&address, sizeof address);
  umask(mask);
  if (bound != 0 || listen(control, SOMAXCONN) != 0) die(path);
}

/* ---- the services ---- */

/* Closes connection `i`; the last one takes its place. */
static void forget(size_t i) {
  close(connections[i].fd);
  connections[i] = connections[--connection_count];
}

/* Gives `port` its order when it is connected; 0 when it is not (yet). */
static int apply_order(unsigned port, long long bytes) {
  for (size_t i = 0; i < connection_count; ++i) {
    if (connections[i].port != port) continue;
    connections[i].to_send += bytes;
    return 1;
  }
  return 0;
}

/* Accepts what is waiting, each with the order that came before it. */
static void accept_connections(void) {
  while (connection_count < MAX_CONNECTIONS) {
    struct sockaddr_in from;
    socklen_t length = sizeof from;
    const int fd = accept4(listener, (struct sockaddr *)&from, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) die("accept");
      return;
    }
    connections[connection_count++] = (struct connection){.fd = fd, .port = ntohs(from.sin_port)};
    for (size_t i = 0; i < order_count; ++i) {
      if (orders[i].port != ntohs(from.sin_port)) continue;
      connections[connection_count - 1].to_send = orders[i].bytes;
      orders[i--] = orders[--order_count];
    }
  }
}

/* Reads what connection `i` sent; 0 once it is done with and forgotten. */
static int read_connection(size_t i) {
  for (;;) {
    const ssize_t got = recv(connections[i].fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      moved += (unsigned long long)got;
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
    connections[i].read_all = 1;
    if (connections[i].to_send > 0 && got == 0) return 1;
    forget(i);
    return 0;
  }
}

/* Sends connection `i` what it ordered, as far as it takes it now; then ends its side. */
static void write_connection(size_t i) {
  struct connection *c = &connections[i];
  while (c->to_send > 0) {
    const size_t n = c->to_send < (long long)sizeof filler ? (size_t)c->to_send : sizeof filler;
    const ssize_t sent = send(c->fd, filler, n, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EINTR) forget(i);
      return;
    }
    moved += (unsigned long long)sent;
    c->to_send -= sent;
  }
  shutdown(c->fd, SHUT_WR);
  if (c->read_all) forget(i);
}

/* Answers the requests waiting (a few, so the others get their turn). */
static void answer_datagrams(void) {
  for (int i = 0; i < BURST; ++i) {
    struct sockaddr_in from;
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(datagrams, buffer, sizeof buffer, 0, (struct sockaddr *)&from, &length);
    if (got < 0) return;
    moved += (unsigned long long)got;
    if (got < PEER_DATAGRAM) continue;
    const size_t out = (size_t)((unsigned char)buffer[0] << 8 | (unsigned char)buffer[1]);
    if (out == 0) continue;
    if (sendto(datagrams, buffer, out, 0, (const struct sockaddr *)&from, length) == (ssize_t)out) moved += out;
  }
}

/* The question's end in `query`, or 0 when it holds no single well-formed question. */
static size_t question_end(const unsigned char *query, size_t size) {
  if (size < DNS_HEADER || (query[4] << 8 | query[5]) != 1) return 0;
  size_t at = DNS_HEADER;
  while (at < size && query[at] != 0) {
    if (query[at] > 63) return 0;
    at += (size_t)query[at] + 1;
  }
  return at + 5 <= size ? at + 5 : 0;
}

/* The answer to the query in `message`, built in place; its size, or 0 when none is due. */
static size_t dns_answer(unsigned char *message, size_t size) {
  const size_t end = question_end(message, size);
  if (end == 0) return 0;
  const int is_a = (message[end - 4] << 8 | message[end - 3]) == DNS_TYPE_A &&
                   (message[end - 2] << 8 | message[end - 1]) == DNS_CLASS_IN;
  message[2] = (unsigned char)(0x84 | (message[2] & 0x01)); /* an authoritative answer, RD kept */
  message[3] = 0x80;                                         /* recursion available, no error */
  memset(message + 6, 0, 6);
  message[7] = (unsigned char)is_a;
  if (!is_a) return end;
  static const unsigned char record[DNS_ANSWER] = {0xc0, DNS_HEADER, 0, DNS_TYPE_A, 0, DNS_CLASS_IN, 0, 0, 0, 60,
                                                   0, 4, 127, 0, 0, 1};
  memcpy(message + end, record, sizeof record);
  return end + sizeof record;
}

/* Answers the DNS queries waiting (a few, so the others get their turn). */
static void answer_dns(void) {
  for (int i = 0; i < BURST; ++i) {
    struct sockaddr_in from;
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(dns, buffer, sizeof buffer - DNS_ANSWER, 0, (struct sockaddr *)&from, &length);
    if (got < 0) return;
    moved += (unsigned long long)got;
    const size_t out = dns_answer((unsigned char *)buffer, (size_t)got);
    if (out > 0 && sendto(dns, buffer, out, 0, (const struct sockaddr *)&from, length) == (ssize_t)out) moved += out;
  }
}

/* Reads everything that has arrived on every socket, so that a count is complete. */
static void take_in_everything(void) {
  for (int busy = 1; busy;) {
    struct pollfd fds[MAX_CONNECTIONS + 3];
    fds[0] = (struct pollfd){.fd = connection_count < MAX_CONNECTIONS ? listener : -1, .events = POLLIN};
    fds[1] = (struct pollfd){.fd = datagrams, .events = POLLIN};
    fds[2] = (struct pollfd){.fd = dns, .events = POLLIN};
    for (size_t i = 0; i < connection_count; ++i)
      fds[i + 3] = (struct pollfd){.fd = connections[i].read_all ? -1 : connections[i].fd, .events = POLLIN};
    const size_t count = connection_count;
    busy = poll(fds, count + 3, 0) > 0;
    if (!busy) break;
    for (size_t i = count; i-- > 0;)
      if (fds[i + 3].revents != 0) read_connection(i);
    if (fds[1].revents != 0) answer_datagrams();
    if (fds[2].revents != 0) answer_dns();
    if (fds[0].revents != 0) accept_connections();
  }
}

/* "send PORT N": an order for a stream; "count": the bytes moved since the last count. */
static void obey(int client) {
  char line[128], reply[32] = "refused\n";
  const ssize_t got = recv(client, line, sizeof line - 1, 0);
  unsigned port;
  long long bytes;
  line[got > 0 ? got : 0] = '\0';
  if (sscanf(line, "send %u %lld", &port, &bytes) == 2 && bytes >= 0) {
    accept_connections();
    if (apply_order(port, bytes)) {
      strcpy(reply, "ok\n");
    } else if (order_count < MAX_ORDERS) {
      orders[order_count++] = (struct order){port, bytes};
      strcpy(reply, "ok\n");
    }
  } else if (strcmp(line, "count\n") == 0) {
    take_in_everything();
    snprintf(reply, sizeof reply, "%llu\n", moved);
    moved = 0;
  }
  if (send(client, reply, strlen(reply), MSG_NOSIGNAL) < 0) {
    /* The client has gone: nothing to tell it. */
  }
}

/* Control clients are few and send one short line: each is served at once, blocking. */
static void serve_control(void) {
  const int client = accept4(control, NULL, NULL, SOCK_CLOEXEC);
  if (client < 0) return;
  const struct timeval timeout = {.tv_sec = 5};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  obey(client);
  close(client);
}

/* Serves until killed. */
static void serve(void) {
  for (;;) {
    struct pollfd fds[MAX_CONNECTIONS + 4];
    fds[0] = (struct pollfd){.fd = connection_count < MAX_CONNECTIONS ? listener : -1, .events = POLLIN};
    fds[1] = (struct pollfd){.fd = datagrams, .events = POLLIN};
    fds[2] = (struct pollfd){.fd = dns, .events = POLLIN};
    fds[3] = (struct pollfd){.fd = control, .events = POLLIN};
    for (size_t i = 0; i < connection_count; ++i) {
      const struct connection *c = &connections[i];
      fds[i + 4] = (struct pollfd){.fd = c->fd, .events = (short)((c->read_all ? 0 : POLLIN) | (c->to_send > 0 ? POLLOUT : 0))};
    }
    const size_t count = connection_count;
    if (poll(fds, count + 4, -1) < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    /* Backwards: forgetting one moves the last into its place, which was handled already. */
    for (size_t i = count; i-- > 0;) {
      if (fds[i + 4].revents & (POLLIN | POLLHUP | POLLERR) && !connections[i].read_all && !read_connection(i)) continue;
      if (fds[i + 4].revents & POLLOUT) write_connection(i);
    }
    if (fds[1].revents != 0) answer_datagrams();
    if (fds[2].revents != 0) answer_dns();
    if (fds[0].revents != 0) accept_connections();
    if (fds[3].revents != 0) serve_control();
  }
}

/* Asks the peer at control socket `path` for its count and prints it; the exit status. */
static int count(const char *path) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if (strlen(path) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    die(path);
  }
  strcpy(address.sun_path, path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) die(path);
  if (send(fd, "count\n", 6, MSG_NOSIGNAL) != 6) die("count");
  char reply[32];
  const ssize_t got = recv(fd, reply, sizeof reply - 1, MSG_WAITALL);
  if (got <= 0) die("count");
  fwrite(reply, 1, (size_t)got, stdout);
  return fflush(stdout) != 0;
}

/* Leaves the caller's session and streams. */
static void detach(void) {
  setsid();
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) die("/dev/null");
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--count") == 0) return count(argv[2]);
  const int with_dns = argc == 3 && strcmp(argv[1], "--dns") == 0;
  if (argc != 2 + with_dns || argv[argc - 1][0] == '-') {
    fprintf(stderr, "usage: peer_stand_in [--dns] DIR | peer_stand_in --count CONTROL\n");
    return 2;
  }
  const unsigned port = bind_peer_port();
  char dns_name[INET_ADDRSTRLEN] = "", control_path[256];
  if (with_dns) bind_dns(dns_name, sizeof dns_name);
  bind_control(argv[argc - 1], control_path, sizeof control_path);
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid > 0) {
    printf("ZENTRA_STAND_IN_PEER=127.0.0.1:%u\nZENTRA_STAND_IN_PEER_CONTROL=%s\n", port, control_path);
    if (with_dns) printf("ZENTRA_STAND_IN_DNS=%s\n", dns_name);
    return fflush(stdout) != 0;
  }
  /* Whoever started it may wait for the end of its output: hold none of its streams. */
  detach();
  serve();
}
