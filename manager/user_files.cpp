#include "manager/user_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/programs.h"
#include "panel/file_descriptor.h"
#include "sys/redirect.h"

namespace {

void report(const std::string& path, const char* reason) {
  std::fprintf(stderr, "zentra_mng: %s: %s\n", path.c_str(), reason);
}

}  // namespace

void TCreateOutput::in_child(kelvor::sys::TExec&) {
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_);
  if (fd < 0) {
    const std::string line = "zentra_mng: " + path_ + ": " + std::strerror(errno) + "\n";
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
      // Nothing more can be said.
    }
    _exit(1);
  }
  if (fd == STDOUT_FILENO) {
    fcntl(fd, F_SETFD, 0);
  } else {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

void copy_as_user(const std::string& source, const std::string& dest, const SystemUser& user) {
  FileDescriptor file(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(source, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return report(source, "Is a directory");
  kelvor::sys::TExec cat = as_user(kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, file.get()), user);
  cat.add(std::make_shared<TCreateOutput>(dest, st.st_mode & 0777));
  cat.run();
}

void show_user_file(const std::string& path) {
  // Not blocking on a FIFO planted in the file's place.
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return report(path, "Not a regular file");
  kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, file.get()).run();
}
