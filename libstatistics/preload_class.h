/* The statistics library's side of keeping an exec chain preloaded class by class. */
#ifndef ZENTRA_PRELOAD_CLASS_H
#define ZENTRA_PRELOAD_CLASS_H

typedef int (*execve_fn)(const char *, char *const[], char *const[]);

/* Execs `path` with LD_PRELOAD narrowed to the library of its ELF class; refuses (-1,
 * ENOEXEC) a program whose class has no library, so that no host runs uncounted. */
int exec_with_class_preload(execve_fn real_execve, const char *path, char *const argv[],
                            char *const envp[]);

/* Puts both classes' libraries back into this process's LD_PRELOAD, own class first, for the
 * execs that libc makes internally, out of the library's sight. */
void rearm_class_preload(void);

#endif
