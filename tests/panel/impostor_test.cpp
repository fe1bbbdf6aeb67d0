// Another account posing as the database server gets no panel password.
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

}  // namespace
