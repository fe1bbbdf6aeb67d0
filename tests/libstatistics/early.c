/* A library of the host whose constructor transfers data before the statistics library's own
 * constructor has run: the dynamic loader initialises the host's libraries first. */
#include <unistd.h>

__attribute__((constructor)) static void early(void) {
  (void)!write(1, "early\n", 6);
}
