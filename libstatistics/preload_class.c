/* Keeps each program of an exec chain preloaded with the library of its own ELF class: the
 * dynamic loader ignores a preload of the other class, and says so on standard error. */
#define _GNU_SOURCE
#include "preload_class.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "exec_class.h"
#include "messages.h"

static const char PRELOAD[] = "LD_PRELOAD=";

static const char *library_of_class(char *const env[], int elf_class) {
  return env_value(env, elf_class == 32 ? STAT_LIB32_VAR : STAT_LIB64_VAR);
}

static int refuse_uncounted(const char *path) {
  say("statistics: No statistics library for the ELF class of ", path, ".\n");
  errno = ENOEXEC;
  return -1;
}

/* Copies `envp` into `env` (room for one more entry) with the LD_PRELOAD entry set to `value`. */
static void replace_preload(char *const envp[], char *value, char **env) {
  size_t i = 0;
  int replaced = 0;
  for (; envp[i]; ++i) {
    int is_preload = strncmp(envp[i], PRELOAD, sizeof PRELOAD - 1) == 0;
    env[i] = is_preload ? value : envp[i];
    replaced |= is_preload;
  }
  if (!replaced) env[i++] = value;
  env[i] = NULL;
}

int with_class_preload(const char *program, char *const envp[], exec_action action,
                       void *context, int *refused) {
  *refused = 0;
  int elf_class = program_class(program);
  /* Outside a launcher-made chain, or for a program of unknown class, nothing is changed. */
  if (!elf_class || !(env_value(envp, STAT_LIB32_VAR) || env_value(envp, STAT_LIB64_VAR)))
    return action(context, envp);
  const char *library = library_of_class(envp, elf_class);
  if (!library) {
    *refused = 1;
    return refuse_uncounted(program);
  }
  const char *other = library_of_class(envp, elf_class == 32 ? 64 : 32);
  const char *preload = env_value(envp, "LD_PRELOAD");

  size_t count = 0;
  while (envp[count]) ++count;
  char value[sizeof PRELOAD + (preload ? strlen(preload) : 0) + strlen(library) + 2];
  memcpy(value, PRELOAD, sizeof PRELOAD - 1);
  /* Drop the other class's library; keep whatever else the host preloads. */
  if (!compose_preload(preload, library, NULL, other, value + sizeof PRELOAD - 1,
                       sizeof value - (sizeof PRELOAD - 1)))
    return action(context, envp);
  char *env[count + 2];
  replace_preload(envp, value, env);
  return action(context, env);
}

void rearm_class_preload(void) {
  static char value[sizeof PRELOAD + 3 * PATH_MAX];
  const char *lib32 = getenv(STAT_LIB32_VAR), *lib64 = getenv(STAT_LIB64_VAR);
  const char *preload = getenv("LD_PRELOAD");
  if (!lib32 || !lib64 || !preload) return;
  const char *own = sizeof(void *) == 4 ? lib32 : lib64;
  const char *other = own == lib32 ? lib64 : lib32;
  /* What libc still execs by itself (system, popen) is the shell: its class alone is quiet. */
  int shell = program_class("/bin/sh");
  const char *first = shell == 32 ? lib32 : shell == 64 ? lib64 : own;
  const char *second = shell ? NULL : other;
  const char *drop = shell ? (first == lib32 ? lib64 : lib32) : NULL;
  memcpy(value, PRELOAD, sizeof PRELOAD - 1);
  if (compose_preload(preload, first, second, drop, value + sizeof PRELOAD - 1,
                      sizeof value - (sizeof PRELOAD - 1)))
    putenv(value);
}
