/* Reads program headers with plain system calls: inside a host they must neither be counted
 * nor refused, whatever state the interposed calls are in. */
#define _GNU_SOURCE
#include "exec_class.h"

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { HEAD_SIZE = EXEC_HEAD_SIZE, MAX_INTERPRETERS = 4 };

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

static int is_script(const char *head, long n) {
  return n >= 2 && head[0] == '#' && head[1] == '!';
}

int program_class(const char *path) {
  char head[HEAD_SIZE], interpreter[HEAD_SIZE];
  for (int depth = 0; depth <= MAX_INTERPRETERS; ++depth) {
    long n = read_head(path, head);
    if (n >= 5 && memcmp(head, "\177ELF", 4) == 0)
      return head[4] == 1 ? 32 : head[4] == 2 ? 64 : 0;
    if (!is_script(head, n) || !interpreter_of(head, n, interpreter)) return 0;
    path = interpreter;
  }
  return 0;
}

const char *script_interpreter(const char *path, char *out) {
  char head[HEAD_SIZE];
  long n = read_head(path, head);
  return is_script(head, n) && interpreter_of(head, n, out) ? out : NULL;
}

/* ---- statically linked programs ---- */

/* Where the program header table of an ELF executable lies. */
struct program_headers {
  unsigned long long offset;
  unsigned int entry_size, count;
};

/* Reads n bytes at `offset`; lseek and read take the same arguments in both classes. */
static long read_at(long fd, void *buf, size_t n, unsigned long long offset) {
  if (offset > LONG_MAX || syscall(SYS_lseek, fd, (long)offset, SEEK_SET) != (long)offset)
    return -1;
  return syscall(SYS_read, fd, buf, n);
}

static int native_byte_order(unsigned char data) {
  return data == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB);
}

static int is_executable_type(unsigned int type) {
  return type == ET_EXEC || type == ET_DYN; /* ET_DYN: a position-independent one */
}

/* Fills `table` from the ELF header of an executable of either class; 0 for anything else. */
static int find_program_headers(long fd, struct program_headers *table) {
  union {
    unsigned char ident[EI_NIDENT];
    Elf32_Ehdr h32;
    Elf64_Ehdr h64;
  } head;
  long n = read_at(fd, &head, sizeof head, 0);
  if (n < (long)sizeof head.h32 || memcmp(head.ident, ELFMAG, SELFMAG) != 0 ||
      !native_byte_order(head.ident[EI_DATA]))
    return 0;
  if (head.ident[EI_CLASS] == ELFCLASS32 && is_executable_type(head.h32.e_type)) {
    *table = (struct program_headers){head.h32.e_phoff, head.h32.e_phentsize, head.h32.e_phnum};
  } else if (head.ident[EI_CLASS] == ELFCLASS64 && n >= (long)sizeof head.h64 &&
             is_executable_type(head.h64.e_type)) {
    *table = (struct program_headers){head.h64.e_phoff, head.h64.e_phentsize, head.h64.e_phnum};
  } else {
    return 0;
  }
  return table->entry_size >= sizeof(Elf32_Word);
}

/* Whether the table has no PT_INTERP entry; p_type leads an entry in both classes. A table
 * that cannot be read whole says nothing. */
static int lacks_interpreter(long fd, const struct program_headers *table) {
  for (unsigned int i = 0; i < table->count; ++i) {
    Elf32_Word type;
    unsigned long long offset = table->offset + (unsigned long long)i * table->entry_size;
    if (read_at(fd, &type, sizeof type, offset) != (long)sizeof type) return 0;
    if (type == PT_INTERP) return 0;
  }
  return 1;
}

int is_static_executable(const char *path) {
  long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct program_headers table;
  int found = find_program_headers(fd, &table) && lacks_interpreter(fd, &table);
  syscall(SYS_close, fd);
  return found;
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
