// Descriptor and process helpers shared by the steps; not part of the public interface.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace kelvor::sys::detail {

// Closes fd if it is open (fd >= 0); the result is not examined.
void close_fd(int fd) noexcept;
// Closes *fd if open and marks it closed (-1).
void close_and_forget(int* fd) noexcept;
// Makes `fd` available as `target` and closes `fd`; a descriptor already in place stays.
void move_fd(int fd, int target) noexcept;
// pipe2 with close-on-exec, so that no other program inherits the ends; throws TSysCallErr.
void make_pipe(int* read_fd, int* write_fd);
// Opens path, or the null device when that fails, so that the stream is never left closed.
int open_or_null(const std::string& path, int flags, mode_t mode = 0) noexcept;
// Writes everything, retrying after signals and short writes; false on any other failure.
bool write_all(int fd, const char* data, std::size_t size) noexcept;
// waitpid retried after signals: exit code, or -1 for a signal; throws TSysCallErr.
int wait_for_exit(pid_t pid);
// Pushes out what every stdio stream of the caller holds, so that no forked copy writes it
// again when it exits. The C library empties a buffer even when its write fails, so a
// child starts with nothing of its parent's output.
void flush_stdio() noexcept;

}  // namespace kelvor::sys::detail
