/* A preload whose malloc writes, as allocation tracers do: it reaches the statistics library's
 * write whenever anything allocates, also while that library is still being loaded. */
#include <stddef.h>
#include <unistd.h>

void *__libc_malloc(size_t size);

void *malloc(size_t size) {
  (void)!write(2, "", 0);
  return __libc_malloc(size);
}
