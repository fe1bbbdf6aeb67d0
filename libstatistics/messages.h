/* The statistics library's messages: written without stdio, which the host may be using. */
#ifndef ZENTRA_MESSAGES_H
#define ZENTRA_MESSAGES_H

#pragma GCC visibility push(hidden)

/* Writes text, path and rest to standard error in one call, unformatted. */
void say(const char *text, const char *path, const char *rest);

/* Writes the decimal digits of `value` from `out` on; returns the end, where it puts a NUL. */
char *format_decimal(unsigned int value, char *out);

#pragma GCC visibility pop

#endif
