// Opens the panel database once with connect_panel_db() and tells what it left behind.
#include <signal.h>

#include <cstdio>

#include "panel/db_connect.h"

namespace {

const char* sigpipe_disposition() {
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  return action.sa_handler == SIG_IGN ? "ignored" : "default";
}

}  // namespace

int main() {
  // An ignored SIGPIPE is inherited through exec: start from the default.
  signal(SIGPIPE, SIG_DFL);
  MYSQL* connection = connect_panel_db();
  std::printf("sigpipe %s\n", sigpipe_disposition());
  std::printf("%s\n", connection != nullptr ? "connected" : "no connection");
  if (connection != nullptr) mysql_close(connection);
  return 0;
}
