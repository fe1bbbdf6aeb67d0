#include "panel/message.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Formats into a 4096-byte buffer, growing it once when the text is longer.
std::string format_message(const char* format, va_list args) {
  std::vector<char> buffer(4096);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  if (length >= 0 && static_cast<size_t>(length) >= buffer.size()) {
    buffer.resize(static_cast<size_t>(length) + 1);
    length = std::vsnprintf(buffer.data(), buffer.size(), format, again);
  }
  va_end(again);
  if (length < 0) return "Can't allocate memory for error message";
  return std::string(buffer.data(), static_cast<size_t>(length));
}

void write_line(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void fatal_msg(int status, const char* format, ...) {
  const int saved_errno = errno;
  std::string text;
  try {
    va_list args;
    va_start(args, format);
    text = format_message(format, args);
    va_end(args);
  } catch (const std::bad_alloc&) {
    text = "Can't allocate memory for error message";
  }
  if (saved_errno != 0) {
    text += "\nSystem error " + std::to_string(saved_errno) + ": " + std::strerror(saved_errno);
  }
  write_line(stderr, text);
  write_line(stdout, text);
  if (status != 0) std::exit(status);
}

CString strdup_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = nullptr;
  const int length = vasprintf(&text, format, args);
  va_end(args);
  if (length < 0) fatal_msg(1, "Cannot allocate memory: %s", std::strerror(errno));
  return CString(text);
}
