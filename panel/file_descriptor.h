// An open descriptor closed on every path out of its scope.
#pragma once

#include <unistd.h>

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // The descriptor, or a negative number when the open failed.
  int get() const { return fd_; }

private:
  int fd_;
};
