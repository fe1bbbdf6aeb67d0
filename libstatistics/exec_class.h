/* Which ELF class a program runs as, where PATH finds it, and the preload list that names the
 * library of its class. Shared by the statistics library (at every exec) and the launcher (at
 * the first one). */
#ifndef ZENTRA_EXEC_CLASS_H
#define ZENTRA_EXEC_CLASS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Environment entries naming the statistics library of each class (absolute paths). */
#define STAT_LIB32_VAR "ZENTRA_STAT_LIB32"
#define STAT_LIB64_VAR "ZENTRA_STAT_LIB64"

/* Room for the head of a program, and so for the interpreter that a "#!" line names. */
#define EXEC_HEAD_SIZE 256

/* 32 or 64 for an ELF file or a script whose interpreter is one; 0 when unknown. */
int program_class(const char *path);

/* The interpreter that the "#!" line of `path` names, written to `out` (EXEC_HEAD_SIZE
 * bytes); NULL when `path` is no such script or cannot be read. */
const char *script_interpreter(const char *path, char *out);

/* 1 for an ELF executable of either class without a program interpreter (statically linked,
 * static-pie included), which no preload reaches; 0 otherwise, or when it cannot be read. */
int is_static_executable(const char *path);

/* Writes into `out` the preload list `first` [`second`] followed by the entries of `old`
 * (may be NULL) other than `first`, `second` and `drop`; returns 0 when it does not fit. */
int compose_preload(const char *old, const char *first, const char *second, const char *drop,
                    char *out, size_t size);

/* The file that a PATH search for `file` would run (written to `out`), or `file` itself when it
 * has a '/' or none is found. */
const char *search_path(const char *file, char *out, size_t size);

/* Value of `name` in a NULL-terminated environment array, or NULL. */
const char *env_value(char *const env[], const char *name);

#ifdef __cplusplus
}
#endif

#endif
