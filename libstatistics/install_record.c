/* The install-record watch: in the steam regime, each status query of an InstallRecord.blob
 * within the game directory is reported as one file record, which the manager counts as files. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <string.h>

#include "statistics.h"

static const char INSTALL_RECORD[] = "/InstallRecord.blob";

static int names_install_record(const char *path) {
  size_t len = strlen(path), tail = sizeof INSTALL_RECORD - 1;
  return len >= tail && memcmp(path + len - tail, INSTALL_RECORD, tail) == 0;
}

/* True when the components of `dir` lead those of `path`; runs of '/' count as one. */
static int path_within(const char *dir, const char *path) {
  if ((*dir == '/') != (*path == '/')) return 0;
  for (;;) {
    while (*dir == '/') ++dir;
    while (*path == '/') ++path;
    if (*dir == '\0') return 1;
    for (; *dir && *dir != '/'; ++dir, ++path)
      if (*dir != *path) return 0;
    if (*path && *path != '/') return 0;
  }
}

/* One status query of the game's install record is one file record; its result is not examined. */
static void watch(const char *path) {
  if (steam_regime && path && names_install_record(path) && path_within(game_dir, path))
    write_record(KIND_FILE, 1);
}

static void watch_followed(const char *path, int flags) {
  if (!(flags & AT_SYMLINK_NOFOLLOW)) watch(path);
}

EXPORT int __xstat(int version, const char *path, struct stat *buf) {
  int r = CALL(__xstat)(version, path, buf);
  watch(path);
  return r;
}
EXPORT int __xstat64(int version, const char *path, struct stat64 *buf) {
  int r = CALL(__xstat64)(version, path, buf);
  watch(path);
  return r;
}

#define STAT_WRAPPER(name, type) \
  EXPORT int name(const char *path, type *buf) { \
    int r = CALL(name)(path, buf); \
    watch(path); \
    return r; \
  }
STAT_WRAPPER(stat, struct stat)
STAT_WRAPPER(stat64, struct stat64)
STAT_WRAPPER(__stat64_time64, struct stat64)

#define FSTATAT_WRAPPER(name, type) \
  EXPORT int name(int dirfd, const char *path, type *buf, int flags) { \
    int r = CALL(name)(dirfd, path, buf, flags); \
    watch_followed(path, flags); \
    return r; \
  }
FSTATAT_WRAPPER(fstatat, struct stat)
FSTATAT_WRAPPER(fstatat64, struct stat64)
FSTATAT_WRAPPER(__fstatat64_time64, struct stat64)

EXPORT int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf) {
  int r = CALL(statx)(dirfd, path, flags, mask, buf);
  watch_followed(path, flags);
  return r;
}
