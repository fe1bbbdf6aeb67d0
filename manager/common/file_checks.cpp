#include "manager/common/file_checks.h"

#include <sys/stat.h>

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool name_taken(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}
