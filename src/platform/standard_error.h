// SPDX-License-Identifier: ISC
// Standard error, written without ever holding up the relay or a stop: every
// message of the daemon, and the stand-in console's trace, goes out through here.
#pragma once

#include <stddef.h>

// Writes text, waiting while standard error takes no more only for half a
// second, and only until a stop is asked; the rest is then dropped. Lost text
// is acceptable; a relay held up by its messages is not.
void write_standard_error(const char* text, size_t length);

// A message of ours, formatted, in one write; cut at 255 bytes.
void print_standard_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// perror's text, "prefix: " and the C library's words for errno, in one write.
void report_errno(const char* prefix);
