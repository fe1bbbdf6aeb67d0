// Steps that arrange a program's standard streams from files and strings.
#pragma once

#include <string>

#include "sys/exec.h"

namespace kelvor::sys {

// Standard input read from a file.
class TFromFile : public TExec::TPrepare {
public:
  explicit TFromFile(std::string path) : path_(std::move(path)) {}
  void in_child(TExec& exec) override;

private:
  std::string path_;
};

// Standard output written to a file (mode 0664 less the umask when created), truncating
// it or appending to it.
class TToFile : public TExec::TPrepare {
public:
  TToFile(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  void in_child(TExec& exec) override;

private:
  std::string path_;
  bool append_;
};

// Descriptor `target` becomes a copy of `source`; the source stays open.
class TRedirect : public TExec::TPrepare {
public:
  TRedirect(int target, int source) : target_(target), source_(source) {}
  void in_child(TExec& exec) override;

private:
  int target_;
  int source_;
};

// Descriptor `target` written to a file, as TToFile does for standard output.
class TRedirectToFile : public TExec::TPrepare {
public:
  TRedirectToFile(int target, std::string path, bool append)
      : target_(target), path_(std::move(path)), append_(append) {}
  void in_child(TExec& exec) override;

private:
  int target_;
  std::string path_;
  bool append_;
};

// Standard input reads the text, then end of file. A writer process feeds the pipe, so a
// text larger than the pipe's capacity cannot block the program's start.
class TReadFromStr : public TExec::TPrepare {
public:
  explicit TReadFromStr(std::string text) : text_(std::move(text)) {}
  // Throws TSysCallErr when the pipe or the writer cannot be made.
  void in_child(TExec& exec) override;

private:
  std::string text_;
};

// Copies of exec with one step added.
TExec from_file(const TExec& exec, const std::string& path);
TExec to_file(const TExec& exec, const std::string& path);
TExec append_to_file(const TExec& exec, const std::string& path);
TExec from_string(const TExec& exec, const std::string& text);
TExec redirect(const TExec& exec, int target, int source);
TExec redirect_to_file(const TExec& exec, int fd, const std::string& path, bool append);

}  // namespace kelvor::sys
