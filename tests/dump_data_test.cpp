// SPDX-License-Identifier: ISC
// dump_data through a recording zvdbg_printf: the exact text, in call order.
// C library alone, so that it builds for every C library the daemon is built for.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "trace/dump_data.h"

int m_verbose = 1;

namespace {

char m_text[8192];
size_t m_length = 0;

constexpr char label_and_header[] =
    "eth2nas\n\n              0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\r\n";

unsigned char m_counting[256]; // byte i is i
unsigned char m_all_ab[161];

struct dump_case {
    const char* name;
    const unsigned char* bytes;
    uint32_t count;
    int verbose;
    const char* text; // the whole dump after the label and header, or a part of it where `part` is set
    bool part;
};

} // namespace

extern "C" void zvdbg_printf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(m_text + m_length, sizeof m_text - m_length, format, arguments);
    va_end(arguments);
    if (length > 0) {
        m_length += static_cast<size_t>(length);
        if (m_length >= sizeof m_text) {
            m_length = sizeof m_text - 1; // cut: the comparison then fails
        }
    }
}

int main()
{
    for (unsigned i = 0; i < sizeof m_counting; i++) {
        m_counting[i] = static_cast<unsigned char>(i);
    }
    memset(m_all_ab, 0xAB, sizeof m_all_ab);
    static const unsigned char character_forms[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF};

    const dump_case cases[] = {
        {"20 bytes 0x41 to 0x54", m_counting + 0x41, 20, 1,
         "0x00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\n"
         "0x00000010 | 51 52 53 54                                     | QRST\n",
         false},
        {"len 0: label and header only", m_counting, 0, 1, "", false},
        {"len 16: one row, no padding", m_counting + 0x30, 16, 1,
         "0x00000000 | 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F | 0123456789:;<=>?\n", false},
        {"len 17: a row of one", m_counting + 0x30, 17, 1,
         "0x00000000 | 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F | 0123456789:;<=>?\n"
         "0x00000010 | 40                                              | @\n",
         false},
        {"character forms", character_forms, sizeof character_forms, 1,
         "0x00000000 | 00 1F 20 7E 7F 80 FF                            | .. ~\x7f..\n", false},
        {"upper case in offsets and bytes", m_all_ab, sizeof m_all_ab, 1,
         "\n0x00000090 | AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB | ................\n"
         "0x000000A0 | AB                                              | .\n",
         true},
        {"len 64, as the handlers dump", m_counting, 64, 1,
         "0x00000000 | 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F | ................\n"
         "0x00000010 | 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F | ................\n"
         "0x00000020 | 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F |  !\"#$%&'()*+,-./\n"
         "0x00000030 | 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F | 0123456789:;<=>?\n",
         false},
        {"silent when not verbose", m_counting, 64, 0, "", false},
    };

    int failures = 0;
    for (const dump_case& c : cases) {
        m_length = 0;
        m_text[0] = '\0';
        m_verbose = c.verbose;
        dump_data(c.bytes, c.count, "eth2nas");
        bool text_ok;
        if (c.part) {
            text_ok = strstr(m_text, c.text) != nullptr;
        } else if (c.verbose == 0) {
            text_ok = m_length == 0;
        } else {
            size_t header = sizeof label_and_header - 1;
            text_ok = strncmp(m_text, label_and_header, header) == 0 && strcmp(m_text + header, c.text) == 0;
        }
        if (!text_ok) {
            printf("FAIL %s, text:\n%s\n", c.name, m_text);
            failures++;
        }
    }
    int total = static_cast<int>(sizeof cases / sizeof cases[0]);
    printf("%d passed, %d failed\n", total - failures, failures);
    return failures == 0 ? 0 : 1;
}
