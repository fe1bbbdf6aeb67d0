// Files that a background job creates and must remove on every way out, and only those.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

// A file this job created, removed with the holder while the path still names that very file
// (same device and inode), so a job never removes another job's file of the same name. The
// holder keeps the file open, so its inode number cannot pass to a newer file meanwhile.
class JobFile {
public:
  enum class Existing { FAIL, REPLACE };

  // Makes a FIFO at path with mode 0600 (less the umask); with REPLACE an old file there is
  // unlinked first. Throws TUError(failure_text) when it cannot be made.
  static JobFile make_fifo(const std::string& path, const std::string& failure_text,
                           Existing existing = Existing::FAIL);
  // Creates path exclusively, never through a link, holding ctime(started): 24 characters and
  // a newline, and holds an exclusive flock on it while any copy of the descriptor lives (see
  // lock_is_held). Empty when something exists at path; throws TUError
  // "Can not create lock file <path>: <reason>" on any other failure.
  static std::optional<JobFile> take_lock(const std::string& path, std::time_t started);
  // Creates or truncates path (mode 0664 less the umask, never through a link) holding
  // `content`; empty when it cannot be written.
  static std::optional<JobFile> write_file(const std::string& path, const std::string& content);

  JobFile(JobFile&& other) noexcept;
  JobFile& operator=(JobFile&&) = delete;
  // Removes the file if it is still ours.
  ~JobFile() { remove(); }

  // Removes the file now if the path still names it; later calls do nothing.
  void remove() noexcept;
  // Leaves the file in place for good; remove() then does nothing.
  void keep() noexcept;
  // True while the path still names this very file.
  bool still_ours() const noexcept;
  // Makes the file belong to uid and gid, so that a job running as that user may remove it
  // from sticky /tmp; throws TUError "Can not create lock file <path>: <reason>".
  void give_to(uid_t uid, gid_t gid);
  const std::string& path() const noexcept { return path_; }

private:
  JobFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_;  // close-on-exec; -1 once removed
};

// True while a live job holds the lock at path: a regular file (reached without a link)
// owned by root or `owner`, whose flock some process holds.
bool lock_is_held(const std::string& path, uid_t owner);

// Frees the name path: unlinks what it names (a link included); a directory, with what it
// holds, is removed as its owner (root's own is left alone).
void clear_name(const std::string& path);

// clear_name(path) when it names a directory or anything (a link included) that `owner`
// does not own.
void remove_unless_owned_by(const std::string& path, uid_t owner);
