// SPDX-License-Identifier: ISC
// The debug console: zvdbg_printf from the vendor's libzvapi.so.1, or the
// stand-in that writes to standard error where the library is absent.
#pragma once

// printf-like; its result, if the vendor's has one, is never used.
extern "C" void zvdbg_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
