// SPDX-License-Identifier: ISC
// dump_data through a recording zvdbg_printf: the exact text and the number of calls.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "trace/dump_data.h"

int m_verbose = 1;

namespace {

std::string m_text;
int m_calls = 0;

const std::string label_and_header =
    "eth2nas\n\n              0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\r\n";

std::vector<unsigned char> counting(unsigned first, unsigned count)
{
    std::vector<unsigned char> bytes;
    for (unsigned i = 0; i < count; i++) {
        bytes.push_back(static_cast<unsigned char>(first + i));
    }
    return bytes;
}

std::string spaces(size_t count)
{
    return std::string(count, ' ');
}

struct dump_case {
    const char* name;
    std::vector<unsigned char> bytes;
    int verbose;
    std::string text; // the whole dump, or a part of it where `part` is set
    bool part;
    int calls;
};

} // namespace

extern "C" void zvdbg_printf(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    m_text += text;
    m_calls++;
}

int main()
{
    const std::string row_30_3f = "0x00000000 | 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F | 0123456789:;<=>?\n";
    const dump_case cases[] = {
        {"20 bytes 0x41 to 0x54", counting(0x41, 20), 1,
         label_and_header + "0x00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\n" +
             "0x00000010 | 51 52 53 54" + spaces(36) + " | QRST\n",
         false, 2 + 35 + (1 + 4 + 12 + 1 + 4 + 1)},
        {"len 0: label and header only", {}, 1, label_and_header, false, 2},
        {"len 16: one row, no padding", counting(0x30, 16), 1, label_and_header + row_30_3f, false, 2 + 35},
        {"len 17: a row of one", counting(0x30, 17), 1,
         label_and_header + row_30_3f + "0x00000010 | 40" + spaces(45) + " | @\n", false,
         2 + 35 + (1 + 1 + 15 + 1 + 1 + 1)},
        {"character forms", {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF}, 1,
         label_and_header + "0x00000000 | 00 1F 20 7E 7F 80 FF" + spaces(27) + " | .. ~\x7f..\n", false,
         2 + (1 + 7 + 9 + 1 + 7 + 1)},
        {"upper case in offsets and bytes", std::vector<unsigned char>(161, 0xAB), 1,
         "\n0x00000090 | AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB | ................\n"
         "0x000000A0 | AB" + spaces(45) + " | .\n",
         true, 2 + 10 * 35 + (1 + 1 + 15 + 1 + 1 + 1)},
        {"len 64: 142 calls", counting(0, 64), 1, "\n0x00000030 | 30 31 32 33", true, 142},
        {"silent when not verbose", counting(0, 64), 0, "", false, 0},
    };

    int failures = 0;
    for (const dump_case& c : cases) {
        m_text.clear();
        m_calls = 0;
        m_verbose = c.verbose;
        dump_data(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), "eth2nas");
        bool text_ok = c.part ? m_text.find(c.text) != std::string::npos : m_text == c.text;
        if (!text_ok || m_calls != c.calls) {
            printf("FAIL %s: %d calls (want %d), text:\n%s\n", c.name, m_calls, c.calls, m_text.c_str());
            failures++;
        }
    }
    int total = static_cast<int>(sizeof cases / sizeof cases[0]);
    printf("%d passed, %d failed\n", total - failures, failures);
    return failures == 0 ? 0 : 1;
}
