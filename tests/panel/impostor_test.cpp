// Another account posing as the database server, over TCP or at a socket where the
// discovery looks, gets neither the panel password nor the connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "panel/db_connect.h"
#include "tests/support/test_db.h"

namespace {

using zentra_test::test_db;
using zentra_test::write_password_file;

constexpr const char* kBait = "Bait-Password-For-Impostors";

uid_t uid_of(const char* name) {
  const passwd* account = getpwnam(name);
  return account != nullptr ? account->pw_uid : 0;
}

// The stand-in server (auth_impostor) as `user`; stop() hands back what clients sent.
class Impostor {
public:
  Impostor(const std::string& user, const std::string& where, const std::string& greeting,
           const std::string& method_switch = "-") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      execl(AUTH_IMPOSTOR, AUTH_IMPOSTOR, user.c_str(), where.c_str(), greeting.c_str(),
            method_switch.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    std::string line;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n') line += c;
    if (line.rfind("ready ", 0) == 0) port_ = line.substr(6);
    EXPECT_FALSE(port_.empty()) << "the stand-in did not start";
  }
  ~Impostor() { stop(); }

  const std::string& port() const { return port_; }

  std::string stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      char buffer[4096];
      ssize_t got;
      while ((got = read(out_, buffer, sizeof buffer)) > 0) record_.append(buffer, size_t(got));
      close(out_);
    }
    return record_;
  }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
  std::string record_;
};

// A socket file nobody listens on, owned by `owner`.
void make_socket(const std::string& path, uid_t owner) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  close(fd);
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
}

struct MysqlClose {
  void operator()(MYSQL* connection) const { mysql_close(connection); }
};
using Handle = std::unique_ptr<MYSQL, MysqlClose>;

class Impostors : public ::testing::Test {
protected:
  void SetUp() override {
    zentra_test::reset_panel_inputs();
    write_password_file(std::string(kBait) + "\n");
    ASSERT_NE(uid_of("mysql"), 0u) << "no account mysql";
  }

  Handle connect() {
    char buffer[4097] = "";
    Handle connection(db_connect(buffer, sizeof buffer));
    message_ = buffer;
    return connection;
  }

  static std::string socket_found() {
    CString socket = find_mysql_socket();
    return socket ? socket.get() : "(null)";
  }

  std::string message_;
};

TEST_F(Impostors, ServerAskingForTheClearPasswordGetsNone) {
  struct Case {
    const char* greeting;
    const char* method_switch;
  };
  for (const Case& c : {Case{"mysql_native_password", "mysql_clear_password"},
                        Case{"mysql_clear_password", "-"},
                        Case{"mysql_native_password", "dialog"}}) {
    Impostor impostor("nobody", "tcp", c.greeting, c.method_switch);
    zentra_test::point_at();
    setenv("VEXA_DB_PORT", impostor.port().c_str(), 1);
    EXPECT_FALSE(connect()) << c.greeting << " " << c.method_switch;
    EXPECT_EQ(impostor.stop().find(kBait), std::string::npos) << c.greeting << " " << c.method_switch;
  }
}

TEST_F(Impostors, SocketOfAnotherAccountIsNeitherUsedNorServed) {
  {
    Impostor impostor("nobody", "/tmp/mysql.sock", "mysql_native_password");
    testing::internal::CaptureStderr();
    EXPECT_EQ(socket_found(), "(null)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "find_mysql_socket: skipping /tmp/mysql.sock: /tmp/mysql.sock belongs to uid " +
                  std::to_string(uid_of("nobody")) + "\n");
    EXPECT_FALSE(connect());
    EXPECT_EQ(impostor.stop(), "") << "the stand-in was reached";
  }
  unlink("/tmp/mysql.sock");
  {
    // Its file given to root, the socket passes; the process serving it does not.
    Impostor impostor("nobody", "/tmp/mysql.sock", "mysql_native_password");
    ASSERT_EQ(lchown("/tmp/mysql.sock", 0, 0), 0);
    EXPECT_FALSE(connect());
    EXPECT_NE(message_.find("served by uid " + std::to_string(uid_of("nobody"))),
              std::string::npos)
        << message_;
    EXPECT_EQ(impostor.stop().find(kBait), std::string::npos);
  }
  // A job that lost its connection opens it again with the socket found at first: one
  // planted there since is not even tried.
  unlink("/tmp/mysql.sock");
  ASSERT_EQ(symlink(test_db().socket.c_str(), "/tmp/mysql.sock"), 0);
  write_password_file(test_db().password + "\n");
  DbSettings settings;
  char buffer[4097] = "";
  ASSERT_TRUE(read_db_settings(settings, buffer, sizeof buffer));
  ASSERT_EQ(settings.socket, "/tmp/mysql.sock");
  Handle first(db_open(settings, buffer, sizeof buffer));
  ASSERT_TRUE(first) << buffer;
  unlink("/tmp/mysql.sock");
  Impostor impostor("nobody", "/tmp/mysql.sock", "mysql_native_password");
  EXPECT_FALSE(Handle(db_open(settings, buffer, sizeof buffer)));
  EXPECT_EQ(impostor.stop(), "") << "the stand-in was reached";
}

TEST_F(Impostors, OnlyRootAndTheServerAccountMayHavePutTheSocket) {
  const uid_t mysql = uid_of("mysql");
  const uid_t nobody = uid_of("nobody");
  const std::string dir = "/var/lib/mysql";
  const std::string socket = dir + "/mysql.sock";
  struct Case {
    uid_t dir_owner;
    mode_t dir_mode;
    uid_t socket_owner;
    bool found;
  };
  mkdir(dir.c_str(), 0755);
  for (const Case& c : {Case{mysql, 0755, mysql, true}, Case{0, 0755, 0, true},
                        Case{mysql, 0755, nobody, false}, Case{nobody, 0755, 0, false},
                        Case{0, 0777, 0, false},
                        Case{0, 01777, mysql, true}, Case{0, 01777, nobody, false}}) {
    unlink(socket.c_str());
    make_socket(socket, c.socket_owner);
    ASSERT_EQ(chown(dir.c_str(), c.dir_owner, c.dir_owner), 0);
    ASSERT_EQ(chmod(dir.c_str(), c.dir_mode), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(socket_found(), c.found ? socket : "(null)")
        << c.dir_owner << " " << std::oct << c.dir_mode << " " << std::dec << c.socket_owner;
    testing::internal::GetCapturedStderr();
  }
  unlink(socket.c_str());
  ASSERT_EQ(chown(dir.c_str(), mysql, mysql), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);

  // A link another account left in /tmp is not followed, nor a socket named by my.cnf that
  // another account owns.
  ASSERT_EQ(symlink(test_db().socket.c_str(), "/tmp/mysql.sock"), 0);
  ASSERT_EQ(lchown("/tmp/mysql.sock", nobody, nobody), 0);
  make_socket("/tmp/other.sock", nobody);
  zentra_test::write_file("/etc/my.cnf", "[mysqld]\nsocket=/tmp/other.sock\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(socket_found(), "(null)");
  testing::internal::GetCapturedStderr();
  unlink("/tmp/mysql.sock");
  unlink("/etc/my.cnf");

  // The server's own account may serve its socket in /tmp.
  Impostor server("mysql", "/tmp/mysql.sock", "mysql_native_password");
  EXPECT_EQ(socket_found(), "/tmp/mysql.sock");
  EXPECT_TRUE(connect()) << message_;
}

}  // namespace
