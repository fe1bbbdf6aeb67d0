/* What the parts of the statistics library share: the descriptor book, the running count, the
 * statistics channel and the messages. Nothing here is exported from the library. */
#ifndef ZENTRA_STATISTICS_H
#define ZENTRA_STATISTICS_H

#include <stdint.h>

#include "calls.h"
#include "messages.h"

#pragma GCC visibility push(hidden)

enum { TABLE_SIZE = 256, THRESHOLD = 10240, KIND_TRAFFIC = 1, KIND_FILE = 2 };

/* ---- the descriptor book (descriptors.c) ---- */

/* 1 for a descriptor that is a counted socket. Written by the thread that opens, duplicates or
 * closes the descriptor, read by every thread that transfers on it. */
extern int32_t marks[TABLE_SIZE];

static inline int is_marked(int fd) {
  return (unsigned)fd < TABLE_SIZE && __atomic_load_n(&marks[fd], __ATOMIC_RELAXED);
}

static inline void set_mark(int fd, int32_t counted) {
  if ((unsigned)fd < TABLE_SIZE) __atomic_store_n(&marks[fd], counted, __ATOMIC_RELAXED);
}

/* True for an AF_INET or AF_INET6 socket; errno is left alone. */
int is_internet_socket(int fd);

/* Whether marked `fd` is still an internet socket. A mark that a close out of the library's
 * sight left behind is dropped. For the rare paths where a mark refuses a call. */
int still_counted(int fd);

/* Marks the internet sockets among descriptors first to last, and unmarks the rest. */
void mark_sockets(unsigned int first, unsigned int last);

/* ---- counting and records (statistics.c) ---- */

/* Bytes counted since the last traffic record, on a cache line of its own: every counted call
 * changes it, and neighbours (the marks) would leave other threads' caches each time. */
extern struct running_count {
  _Alignas(64) int32_t bytes;
} running;

/* Takes over from count_bytes once the running count has reached the threshold. */
void report_count(long long n);

/* Adds n > 0 transferred bytes; reports the running count once it reaches the threshold. */
static inline void count_bytes(long long n) {
  if (n < THRESHOLD && __atomic_add_fetch(&running.bytes, (int32_t)n, __ATOMIC_RELAXED) < THRESHOLD)
    return;
  report_count(n < THRESHOLD ? 0 : n);
}

/* Writes one whole record to the statistics channel; false when it could not be written. */
int write_record(int32_t kind, int32_t value);

/* Reports what has been counted so far, and empties the count, before this process's image or
 * memory is copied, or before it leaves without its destructor. */
void report_so_far(void);

/* For the rest of the process's life every data call refuses counted sockets (transfer.c). */
void enter_cutoff(void);

/* ---- the statistics channel (statistics.c) ---- */

/* The library's statistics descriptor, or -1. */
int statistics_fd(void);

/* Whether `fd` is the library's statistics descriptor. */
int is_statistics_fd(int fd);

/* The host is about to replace `fd` or close it out of the library's sight. When it is the
 * statistics descriptor, the channel moves elsewhere first (or, where it cannot, is given up),
 * and the number is returned: still open, the caller closes it if the host's call fails.
 * Returns -1 for any other descriptor. */
int make_way_for(int fd);

/* ---- the steam regime (statistics.c) ---- */

extern int steam_regime;
extern const char *game_dir;

#pragma GCC visibility pop

#endif
