// Checking that a socket of the database server was put there by root or the server.
#include "panel/server_socket.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

namespace {

// The kernel's own bound on links followed while resolving one path.
constexpr int kMaxLinks = 40;

std::string owner_text(const std::string& path, uid_t uid) {
  return path + " belongs to uid " + std::to_string(uid);
}

// Why another account could have created or replaced `entry` (owned as `entry_info`) in
// `dir`; empty when none could.
std::string replaceable(const std::string& dir, const struct stat& dir_info,
                        const std::string& entry, const struct stat& entry_info) {
  if (!is_trusted_owner(dir_info.st_uid)) return owner_text(dir, dir_info.st_uid);
  if ((dir_info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return "";
  // In a sticky directory only the entry's owner (or the directory's) may remove it.
  if ((dir_info.st_mode & S_ISVTX) == 0) return dir + " is writable by other accounts";
  if (!is_trusted_owner(entry_info.st_uid)) return owner_text(entry, entry_info.st_uid);
  return "";
}

// Puts the components of `path` in front of `pending`, in order.
void push_components(const std::string& path, std::deque<std::string>& pending) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  pending.insert(pending.begin(), parts.begin(), parts.end());
}

std::string join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string parent_of(const std::string& dir) {
  const size_t slash = dir.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

bool read_link(const std::string& path, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
  if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) return false;
  target.assign(buffer, static_cast<size_t>(length));
  return true;
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return "";
  return join(cwd, path);
}

}  // namespace

bool is_trusted_owner(uid_t uid) {
  if (uid == 0) return true;
  const passwd* server = getpwnam(kServerAccount);
  return server != nullptr && server->pw_uid == uid;
}

SocketTrust check_server_socket(const std::string& path, std::string& reason) {
  const std::string start = absolute(path);
  if (start.empty()) return SocketTrust::kMissing;
  std::string dir = "/";
  struct stat dir_info;
  if (lstat("/", &dir_info) != 0) return SocketTrust::kMissing;
  if (reason = replaceable(dir, dir_info, dir, dir_info); !reason.empty()) {
    return SocketTrust::kUntrusted;
  }
  std::deque<std::string> pending;
  push_components(start, pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    // The parent is a directory already passed on the way here.
    if (name == "..") {
      dir = parent_of(dir);
      if (lstat(dir.c_str(), &dir_info) != 0) return SocketTrust::kMissing;
      continue;
    }
    const std::string entry = join(dir, name);
    struct stat info;
    if (lstat(entry.c_str(), &info) != 0) return SocketTrust::kMissing;
    if (reason = replaceable(dir, dir_info, entry, info); !reason.empty()) {
      return SocketTrust::kUntrusted;
    }
    if (S_ISLNK(info.st_mode)) {
      std::string target;
      if (++links > kMaxLinks || !read_link(entry, target)) return SocketTrust::kMissing;
      push_components(target, pending);
      if (!target.empty() && target[0] == '/') {
        dir = "/";
        if (lstat("/", &dir_info) != 0) return SocketTrust::kMissing;
      }
      continue;
    }
    if (pending.empty()) {
      if (!S_ISSOCK(info.st_mode)) return SocketTrust::kMissing;
      if (!is_trusted_owner(info.st_uid)) {
        reason = owner_text(entry, info.st_uid);
        return SocketTrust::kUntrusted;
      }
      return SocketTrust::kTrusted;
    }
    if (!S_ISDIR(info.st_mode)) return SocketTrust::kMissing;
    dir = entry;
    dir_info = info;
  }
  return SocketTrust::kMissing;
}

std::string untrusted_peer(int fd) {
  struct sockaddr_storage address {};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) {
    return std::string("cannot examine the server's socket: ") + std::strerror(errno);
  }
  if (address.ss_family != AF_UNIX) return "";
  struct ucred peer {};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return std::string("cannot tell who serves the socket: ") + std::strerror(errno);
  }
  if (!is_trusted_owner(peer.uid)) {
    return "the socket is served by uid " + std::to_string(peer.uid) + ", not by root or " +
           kServerAccount;
  }
  return "";
}
