// Message and formatting routines shared by the product configuration and the database code.
#pragma once

#include <cstdlib>
#include <memory>

// A malloc'd C string released with free().
struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Writes the formatted message (plus the "System error" line when errno was set) to
// stderr, then stdout, each ended by one newline; ends the process when status != 0.
void fatal_msg(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// printf into a newly allocated string; ends the process with a message when out of memory.
CString strdup_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
