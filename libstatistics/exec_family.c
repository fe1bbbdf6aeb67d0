/* The exec family: before a program replaces this one, what it counted is reported, and the new
 * program gets the preload of its own ELF class (preload_class.c). Forms that libc carries out
 * internally, out of the library's sight, are rebuilt on the vector forms. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>

#include "exec_class.h"
#include "preload_class.h"
#include "statistics.h"

extern char **environ;

struct exec_call {
  const char *file;
  char *const *argv;
  pid_t *pid;
  const posix_spawn_file_actions_t *actions;
  const posix_spawnattr_t *attr;
  int fd;
};

static int run_execve(void *context, char *const env[]) {
  struct exec_call *call = context;
  return CALL(execve)(call->file, call->argv, env);
}
static int run_fexecve(void *context, char *const env[]) {
  struct exec_call *call = context;
  return CALL(fexecve)(call->fd, call->argv, env);
}
static int run_execvpe(void *context, char *const env[]) {
  struct exec_call *call = context;
  return CALL(execvpe)(call->file, call->argv, env);
}
static int run_posix_spawn(void *context, char *const env[]) {
  struct exec_call *call = context;
  return CALL(posix_spawn)(call->pid, call->file, call->actions, call->attr, call->argv, env);
}
static int run_posix_spawnp(void *context, char *const env[]) {
  struct exec_call *call = context;
  return CALL(posix_spawnp)(call->pid, call->file, call->actions, call->attr, call->argv, env);
}

EXPORT int execve(const char *path, char *const argv[], char *const envp[]) {
  struct exec_call call = {.file = path, .argv = argv};
  int refused;
  report_so_far();
  return with_class_preload(path, envp, run_execve, &call, &refused);
}

/* The name under which the program open on `fd` can be read: "/proc/self/fd/N". */
static const char *descriptor_path(int fd, char *out) {
  static const char prefix[] = "/proc/self/fd/";
  memcpy(out, prefix, sizeof prefix - 1);
  format_decimal((unsigned int)fd, out + sizeof prefix - 1);
  return out;
}

/* libc carries it out with its internal exec calls, out of the library's sight. */
EXPORT int fexecve(int fd, char *const argv[], char *const envp[]) {
  struct exec_call call = {.fd = fd, .argv = argv};
  char path[32];
  int refused;
  report_so_far();
  return with_class_preload(descriptor_path(fd, path), envp, run_fexecve, &call, &refused);
}

EXPORT int execv(const char *path, char *const argv[]) {
  return execve(path, argv, environ);
}

EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) {
  struct exec_call call = {.file = file, .argv = argv};
  char found[PATH_MAX];
  int refused;
  report_so_far();
  return with_class_preload(search_path(file, found, sizeof found), envp, run_execvpe, &call,
                            &refused);
}

EXPORT int execvp(const char *file, char *const argv[]) {
  return execvpe(file, argv, environ);
}

/* The argument-list forms reach execve inside libc, out of the library's sight: they go
 * through the vector forms above instead. `ap` is left at the entry after the list's NULL. */
#define ARGV_FROM_LIST(first, ap) \
  size_t argc = 1; \
  va_list counting; \
  va_copy(counting, ap); \
  while (va_arg(counting, char *)) ++argc; \
  va_end(counting); \
  char *argv[argc + 1]; \
  argv[0] = (char *)(first); \
  for (size_t i = 1; i <= argc; ++i) argv[i] = va_arg(ap, char *);

EXPORT int execl(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  va_end(ap);
  return execve(path, argv, environ);
}

EXPORT int execle(const char *path, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  char *const *envp = va_arg(ap, char *const *);
  va_end(ap);
  return execve(path, argv, envp);
}

EXPORT int execlp(const char *file, const char *arg, ...) {
  va_list ap;
  va_start(ap, arg);
  ARGV_FROM_LIST(arg, ap)
  va_end(ap);
  return execvpe(file, argv, environ);
}

/* A spawn reports like posix_spawn itself: with the error number as its result. */
static int spawn(const char *program, char *const envp[], exec_action action,
                 struct exec_call *call) {
  int refused;
  int result = with_class_preload(program, envp, action, call, &refused);
  return refused ? ENOEXEC : result;
}

EXPORT int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                       const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  if (CALL(posix_spawn) == raw_posix_spawn) return ENOSYS;
  struct exec_call call = {path, argv, pid, actions, attr, -1};
  return spawn(path, envp, run_posix_spawn, &call);
}

EXPORT int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                        const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  if (CALL(posix_spawnp) == raw_posix_spawnp) return ENOSYS;
  struct exec_call call = {file, argv, pid, actions, attr, -1};
  char found[PATH_MAX];
  return spawn(search_path(file, found, sizeof found), envp, run_posix_spawnp, &call);
}
