/* Statistics records through a FIFO, as fast as the reader takes them:
 *   fifo_records push PATH COUNT VALUE   writes COUNT traffic records of VALUE bytes in 64 KiB
 *                                        writes; prints the seconds from open to the last write
 *   fifo_records drain PATH              reads PATH until end of file, and nothing else
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { BLOCK = 64 * 1024, RECORDS_PER_BLOCK = BLOCK / 8 };

static double now(void) {
  struct timespec time;
  clock_gettime(CLOCK_MONOTONIC, &time);
  return (double)time.tv_sec + (double)time.tv_nsec / 1e9;
}

static int push(const char *path, long long count, int32_t value) {
  static int32_t block[RECORDS_PER_BLOCK * 2];
  for (int i = 0; i < RECORDS_PER_BLOCK; ++i) block[2 * i] = 1, block[2 * i + 1] = value;
  const double began = now();
  const int fd = open(path, O_WRONLY);
  if (fd < 0) return perror(path), 1;
  while (count > 0) {
    const long long records = count < RECORDS_PER_BLOCK ? count : RECORDS_PER_BLOCK;
    const ssize_t size = (ssize_t)(records * 8);
    if (write(fd, block, (size_t)size) != size) return perror("write"), 1;
    count -= records;
  }
  printf("%.6f\n", now() - began);
  return close(fd) != 0;
}

static int drain(const char *path) {
  static char buffer[BLOCK];
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return perror(path), 1;
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  return close(fd) != 0;
}

int main(int argc, char **argv) {
  if (argc == 5 && strcmp(argv[1], "push") == 0) return push(argv[2], atoll(argv[3]), atoi(argv[4]));
  if (argc == 3 && strcmp(argv[1], "drain") == 0) return drain(argv[2]);
  fprintf(stderr, "usage: fifo_records push PATH COUNT VALUE | drain PATH\n");
  return 2;
}
