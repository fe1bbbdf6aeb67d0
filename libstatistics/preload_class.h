/* The statistics library's side of keeping an exec chain preloaded class by class. */
#ifndef ZENTRA_PRELOAD_CLASS_H
#define ZENTRA_PRELOAD_CLASS_H

#include <stddef.h>

/* Starts a program with the environment it is given; returns what the exec call returns. */
typedef int (*exec_action)(void *context, char *const env[]);

/* Runs `action` with `envp`'s LD_PRELOAD narrowed to the library of `program`'s ELF class.
 * A program whose class has no library is refused, so that no host runs uncounted: the
 * refusal is reported on standard error, *refused set, and -1 returned with errno ENOEXEC. */
int with_class_preload(const char *program, char *const envp[], exec_action action,
                       void *context, int *refused);

/* Sets this process's LD_PRELOAD, for the execs that libc makes internally out of the
 * library's sight, to the library of the shell's class (both, when that class is unknown). */
void rearm_class_preload(void);

#endif
