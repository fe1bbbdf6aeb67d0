// A stand-in database server run by another account: it greets like a server, asks the
// client to log in with the given method and writes to standard output every byte the
// client sends, answering every packet with OK so that a client that gives in goes on.
//
// Usage: auth_impostor USER SOCKET|tcp GREETING_METHOD SWITCH_METHOD|-
// It becomes USER, listens on the Unix socket SOCKET (or on a free loopback port), prints
// "ready <port>\n" and serves connections one after the other; it ends after 30 seconds.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool become(const char* name) {
  const passwd* account = getpwnam(name);
  return account != nullptr && setgroups(0, nullptr) == 0 && setgid(account->pw_gid) == 0 &&
         setuid(account->pw_uid) == 0 && getuid() == account->pw_uid && setuid(0) != 0;
}

// A listening socket at `where`; the port it took goes into `port`.
int listen_at(const char* where, unsigned& port) {
  if (std::strcmp(where, "tcp") != 0) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", where);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return listen(fd, 8) == 0 ? fd : -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool send_packet(int fd, unsigned char sequence, const std::string& payload) {
  const size_t n = payload.size();
  std::string packet{char(n & 0xff), char((n >> 8) & 0xff), char(n >> 16), char(sequence)};
  packet += payload;
  return write(fd, packet.data(), packet.size()) == ssize_t(packet.size());
}

bool read_exactly(int fd, char* buffer, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t got = read(fd, buffer + done, size - done);
    if (got <= 0) return false;
    done += size_t(got);
  }
  return true;
}

// Reads one packet, copies it to standard output and returns its sequence number, or -1.
int record_packet(int fd) {
  unsigned char head[4];
  if (!read_exactly(fd, reinterpret_cast<char*>(head), 4)) return -1;
  std::string payload(head[0] | head[1] << 8 | head[2] << 16, '\0');
  if (!read_exactly(fd, payload.data(), payload.size())) return -1;
  if (write(1, payload.data(), payload.size()) != ssize_t(payload.size())) return -1;
  return head[3];
}

std::string greeting(const std::string& method) {
  const std::string scramble = "abcdefghijklmnopqrst";
  // Protocol 41, secure connection, plugin authentication, multi results.
  const unsigned caps = 0x1 | 0x4 | 0x8 | 0x200 | 0x2000 | 0x8000 | 0x10000 | 0x20000 | 0x80000;
  std::string hello = std::string("\x0a") + "5.5.5-10.11.0-stand-in" + '\0';
  hello += std::string("\x07\0\0\0", 4) + scramble.substr(0, 8) + '\0';
  hello += {char(caps & 0xff), char(caps >> 8 & 0xff), '\x21', '\x02', '\0'};
  hello += {char(caps >> 16 & 0xff), char(caps >> 24), char(scramble.size() + 1)};
  hello += std::string(10, '\0') + scramble.substr(8) + '\0' + method + '\0';
  return hello;
}

void serve(int fd, const std::string& greeting_method, const std::string& switch_method) {
  const std::string ok("\x00\x00\x00\x02\x00\x00\x00", 7);
  if (!send_packet(fd, 0, greeting(greeting_method))) return;
  int sequence = record_packet(fd);
  if (sequence < 0) return;
  if (switch_method != "-") {
    if (!send_packet(fd, sequence + 1, "\xfe" + switch_method + '\0' + "ABCDEFGHIJKLMNOPQRST" + '\0')) return;
    if ((sequence = record_packet(fd)) < 0) return;
  }
  if (!send_packet(fd, sequence + 1, ok)) return;
  while ((sequence = record_packet(fd)) >= 0 && send_packet(fd, sequence + 1, ok)) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || !become(argv[1])) return 2;
  unsigned port = 0;
  const int listener = listen_at(argv[2], port);
  if (listener < 0) return 1;
  alarm(30);
  std::printf("ready %u\n", port);
  std::fflush(stdout);
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return 1;
    serve(client, argv[3], argv[4]);
    close(client);
  }
}
