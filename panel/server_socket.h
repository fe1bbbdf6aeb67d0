// Whether a Unix socket can be taken for the database server's: only root and the
// server's own account may have put it where it is, and only they may serve it. Any other
// account could otherwise pose as the server and receive the jobs' logins and statements.
#pragma once

#include <sys/types.h>

#include <string>

// The account the database server runs as: `mysql` in the passwd database, as the
// server packages create it and start the server under it. (The owner of a data directory
// would need the server's own configuration, which the panel host need not keep in
// /etc/my.cnf.)
constexpr const char* kServerAccount = "mysql";

// True for root and for the server's account.
bool is_trusted_owner(uid_t uid);

enum class SocketTrust {
  kMissing,    // nothing there, or no socket: look elsewhere
  kTrusted,    // a socket only root or the server's account could have put there
  kUntrusted,  // another account could have put it there, or swap it
};

// Looks at `path` (a relative one from the working directory) without following a link
// unchecked: every directory on the way and every link followed must lie in a directory
// owned by a trusted account and writable by no other, unless that directory is sticky
// and a trusted account owns the entry; the socket must belong to a trusted account.
// On kUntrusted, `reason` says why.
SocketTrust check_server_socket(const std::string& path, std::string& reason);

// Empty when the process that listens at the other end of the connected socket `fd` runs
// as a trusted account, or when `fd` is no Unix socket; otherwise why not.
std::string untrusted_peer(int fd);
