// A descriptor owned by one object: closed when the object goes.
#pragma once

#include <unistd.h>
#include <utility>

namespace kelvor::sys {

class UniqueFd {
public:
  UniqueFd() noexcept = default;
  // Takes ownership of `fd` (-1: none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // The descriptor, or -1.
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes the present descriptor (its result is not examined) and takes `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

}  // namespace kelvor::sys
