/* Reads program headers with plain system calls: inside a host they must neither be counted
 * nor refused, whatever state the interposed calls are in. */
#define _GNU_SOURCE
#include "exec_class.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { HEAD_SIZE = 256, MAX_INTERPRETERS = 4 };

static long read_head(const char *path, char *head) {
  long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long n = syscall(SYS_read, fd, head, HEAD_SIZE - 1);
  syscall(SYS_close, fd);
  if (n >= 0) head[n] = '\0';
  return n;
}

/* Copies the interpreter path of a "#!" line into `out`; 0 when there is none. */
static int interpreter_of(const char *head, long n, char *out) {
  long i = 2, len = 0;
  while (i < n && (head[i] == ' ' || head[i] == '\t')) ++i;
  while (i < n && head[i] != ' ' && head[i] != '\t' && head[i] != '\n' && head[i] != '\0')
    out[len++] = head[i++];
  out[len] = '\0';
  return len > 0;
}

int program_class(const char *path) {
  char head[HEAD_SIZE], interpreter[HEAD_SIZE];
  for (int depth = 0; depth <= MAX_INTERPRETERS; ++depth) {
    long n = read_head(path, head);
    if (n >= 5 && memcmp(head, "\177ELF", 4) == 0)
      return head[4] == 1 ? 32 : head[4] == 2 ? 64 : 0;
    if (n < 2 || head[0] != '#' || head[1] != '!' || !interpreter_of(head, n, interpreter))
      return 0;
    path = interpreter;
  }
  return 0;
}

static int append(char *out, size_t size, size_t *used, const char *word, size_t len) {
  size_t gap = *used ? 1 : 0;
  if (*used + gap + len + 1 > size) return 0;
  if (gap) out[(*used)++] = ' ';
  memcpy(out + *used, word, len);
  *used += len;
  out[*used] = '\0';
  return 1;
}

static int is_word(const char *word, size_t len, const char *name) {
  return name && strlen(name) == len && memcmp(word, name, len) == 0;
}

int compose_preload(const char *old, const char *first, const char *second, const char *drop,
                    char *out, size_t size) {
  size_t used = 0;
  if (size == 0) return 0;
  out[0] = '\0';
  if (!append(out, size, &used, first, strlen(first))) return 0;
  if (second && !append(out, size, &used, second, strlen(second))) return 0;
  for (const char *p = old; p && *p;) {
    size_t len = strcspn(p, " :");
    if (len && !is_word(p, len, first) && !is_word(p, len, second) &&
        !is_word(p, len, drop) &&
        !append(out, size, &used, p, len))
      return 0;
    p += len;
    if (*p) ++p;
  }
  return 1;
}

const char *env_value(char *const env[], const char *name) {
  size_t len = strlen(name);
  for (; env && *env; ++env)
    if (strncmp(*env, name, len) == 0 && (*env)[len] == '=') return *env + len + 1;
  return NULL;
}

/* The file that a PATH search for `file` would run, in `out`; `file` itself when it has a '/'. */
const char *search_path(const char *file, char *out, size_t size) {
  if (strchr(file, '/')) return file;
  const char *dirs = getenv("PATH");
  if (!dirs) dirs = "/bin:/usr/bin";
  for (const char *p = dirs;; ++p) {
    size_t len = strcspn(p, ":");
    const char *dir = len ? p : ".";
    size_t dir_len = len ? len : 1;
    if (dir_len + strlen(file) + 2 <= size) {
      memcpy(out, dir, dir_len);
      out[dir_len] = '/';
      strcpy(out + dir_len + 1, file);
      if (access(out, X_OK) == 0) return out;
    }
    p += len;
    if (!*p) return file;
  }
}
