// SPDX-License-Identifier: ISC
// Rows of 16 bytes: offset, bytes in hex, bytes as characters.
#include "trace/dump_data.h"

#include "platform/zvdbg.h"

namespace {

constexpr uint32_t row_size = 16;

// Bytes below 0x20 taken as signed, so 0x80-0xFF too, show as dots; 0x7F shows as itself.
void print_characters(const unsigned char* row, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        if (static_cast<signed char>(row[i]) < 0x20) {
            zvdbg_printf(".");
        } else {
            zvdbg_printf("%c", row[i]);
        }
    }
}

// Out of line, so that dump_data, called for every frame, costs no more than its
// test of m_verbose while the trace is off.
[[gnu::noinline]] void print_dump(const unsigned char* data, uint32_t len, const char* label)
{
    zvdbg_printf("%s\n", label);
    zvdbg_printf("\n              0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\r\n");
    for (uint32_t i = 0; i < len; i++) {
        uint32_t column = i % row_size;
        if (i != 0 && column == 0) {
            zvdbg_printf(" | ");
            print_characters(data + i - row_size, row_size);
            zvdbg_printf("\n");
        }
        if (column == 0) {
            zvdbg_printf("0x%08X |", static_cast<unsigned int>(i));
        }
        zvdbg_printf(" %02X", static_cast<unsigned int>(data[i]));
        if (i == len - 1) {
            for (uint32_t empty = row_size - 1 - column; empty > 0; empty--) {
                zvdbg_printf("   ");
            }
            zvdbg_printf(" | ");
            print_characters(data + i - column, column + 1);
            zvdbg_printf("\n");
        }
    }
}

} // namespace

void dump_data(const unsigned char* data, uint32_t len, const char* label)
{
    if (m_verbose != 0) {
        print_dump(data, len, label);
    }
}
