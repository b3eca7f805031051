// SPDX-License-Identifier: ISC
// Fuzzes dump_data with any bytes of any length up to a few hundred, through a
// recording zvdbg_printf, and reads every dump back: the call count, the line
// geometry, and each byte from its hexadecimal and its character column.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/zvdbg.h"
#include "trace/dump_data.h"

int m_verbose = 0;

namespace {

constexpr size_t row_size = 16;
constexpr size_t separator_column = 60; // where " | " begins on every row
constexpr char header[] =
    "eth2nas\n\n              0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\r\n";

// C library alone, so that the replay builds for every C library the daemon is built for.
char m_text[8192]; // a dump of 512 bytes takes about 2700
size_t m_length = 0;
size_t m_calls = 0;

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "dump_data_fuzz: %s\n%.*s", what, static_cast<int>(m_length), m_text);
        abort();
    }
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1; // lower case is wrong too
}

// One row (without its newline): offset, the bytes in hex padded to 16 columns, " | ", the characters.
void check_row(const char* line, size_t length, const uint8_t* row, size_t count, size_t offset)
{
    char expected_offset[16];
    snprintf(expected_offset, sizeof expected_offset, "0x%08zX |", offset);
    require(length == separator_column + 3 + count, "row length");
    require(memcmp(line, expected_offset, 12) == 0, "row offset");
    for (size_t column = 0; column < row_size; column++) {
        const char* cell = line + 12 + 3 * column;
        if (column >= count) {
            require(memcmp(cell, "   ", 3) == 0, "padding of an empty column");
            continue;
        }
        int high = hex_digit(cell[1]);
        int low = hex_digit(cell[2]);
        require(cell[0] == ' ' && high >= 0 && low >= 0 && high * 16 + low == row[column], "byte in hex");
        char shown = line[separator_column + 3 + column];
        require(shown == ((row[column] >= 0x20 && row[column] <= 0x7F) ? static_cast<char>(row[column]) : '.'),
                "byte as a character");
    }
    require(memcmp(line + separator_column, " | ", 3) == 0, "separator column");
}

} // namespace

extern "C" void zvdbg_printf(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    require(length >= 0 && static_cast<size_t>(length) < sizeof text, "one call's text");
    require(m_length + static_cast<size_t>(length) <= sizeof m_text, "the whole dump's text");
    memcpy(m_text + m_length, text, static_cast<size_t>(length));
    m_length += static_cast<size_t>(length);
    m_calls++;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 512) {
        return -1;
    }
    uint32_t len = static_cast<uint32_t>(size);
    m_length = 0;
    m_calls = 0;
    m_verbose = 0;
    dump_data(data, len, "eth2nas");
    require(m_calls == 0, "output while not verbose");

    m_verbose = 1;
    dump_data(data, len, "eth2nas");
    size_t rows = (size + row_size - 1) / row_size;
    size_t padding = (row_size - size % row_size) % row_size;
    require(m_calls == 2 + 3 * rows + 2 * size + padding, "number of print calls");
    require(m_length >= sizeof header - 1 && memcmp(m_text, header, sizeof header - 1) == 0, "label and header");
    size_t at = sizeof header - 1;
    for (size_t row = 0; row < rows; row++) {
        const void* end = memchr(m_text + at, '\n', m_length - at);
        require(end != nullptr, "row without its newline");
        size_t line_length = static_cast<size_t>(static_cast<const char*>(end) - (m_text + at));
        size_t count = size - row * row_size < row_size ? size - row * row_size : row_size;
        check_row(m_text + at, line_length, data + row * row_size, count, row * row_size);
        at += line_length + 1;
    }
    require(at == m_length, "text after the last row");
    return 0;
}
