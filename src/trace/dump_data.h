// SPDX-License-Identifier: ISC
// The verbose frame trace: a hex and character dump on the debug console.
#pragma once

#include <stdint.h>

// 1 with -v. The trace prints nothing while it is 0.
extern int m_verbose;

// Dumps len bytes of data under label, one zvdbg_printf call per element.
void dump_data(const unsigned char* data, uint32_t len, const char* label);
