/* Messages on standard error, one system call each, so that a host's threads do not interleave. */
#define _GNU_SOURCE
#include <string.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "messages.h"

void say(const char *text, const char *path, const char *rest) {
  struct iovec parts[3] = {{(void *)text, strlen(text)},
                           {(void *)path, strlen(path)},
                           {(void *)rest, strlen(rest)}};
  (void)!syscall(SYS_writev, 2, parts, 3);
}

char *format_decimal(unsigned int value, char *out) {
  char digits[12];
  int n = 0;
  do digits[n++] = (char)('0' + value % 10);
  while ((value /= 10) > 0);
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
  return out;
}
