// SPDX-License-Identifier: ISC
// The stand-in console: each call's text in order, every finished line written at once and none
// torn between two writes. Standard error is a SOCK_SEQPACKET socket here, so every write arrives
// as one message.
// C library alone, so that it builds for every C library the daemon is built for.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/zvdbg.h"
#include "trace/dump_data.h"

int m_verbose = 1;

namespace {

int m_reader = -1;

// The messages written since the last look, each ended by a NUL here.
struct writes {
    int count;
    bool overflow;
    char text[16][1024];
};
writes m_writes;

const writes& read_writes()
{
    m_writes.count = 0;
    m_writes.overflow = false;
    char message[4096];
    ssize_t length;
    while ((length = recv(m_reader, message, sizeof message, MSG_DONTWAIT)) > 0) {
        if (m_writes.count == 16 || static_cast<size_t>(length) >= sizeof m_writes.text[0]) {
            m_writes.overflow = true;
            continue;
        }
        memcpy(m_writes.text[m_writes.count], message, static_cast<size_t>(length));
        m_writes.text[m_writes.count][length] = '\0';
        m_writes.count++;
    }
    return m_writes;
}

// Whether exactly these messages (none where first is null) were written since the last look.
bool writes_are(const char* first, const char* second = nullptr)
{
    const writes& got = read_writes();
    const char* wanted[] = {first, second};
    int count = first == nullptr ? 0 : second == nullptr ? 1 : 2;
    bool same = !got.overflow && got.count == count;
    for (int i = 0; same && i < count; i++) {
        same = strcmp(got.text[i], wanted[i]) == 0;
    }
    return same;
}

// The writes since the last look, joined ("" where they overflowed); lines_end: whether each ended a line.
const char* read_text(bool& lines_end)
{
    static char joined[sizeof m_writes.text];
    const writes& got = read_writes();
    joined[0] = '\0';
    lines_end = !got.overflow;
    for (int i = 0; !got.overflow && i < got.count && strlen(joined) + strlen(got.text[i]) < sizeof joined; i++) {
        strcat(joined, got.text[i]);
        lines_end = lines_end && got.text[i][strlen(got.text[i]) - 1] == '\n';
    }
    return joined;
}

int m_checks = 0;
int m_failures = 0;

void expect(bool ok, const char* what)
{
    m_checks++;
    if (!ok) {
        printf("FAIL %s\n", what);
        m_failures++;
    }
}

} // namespace

int main()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == -1 || dup2(pair[1], STDERR_FILENO) == -1) {
        perror("socketpair");
        return 1;
    }
    m_reader = pair[0];

    zvdbg_printf("label %s", "eth2nas");
    expect(writes_are(nullptr), "an unfinished line is held");
    zvdbg_printf("\n");
    expect(writes_are("label eth2nas\n"), "a finished line is written at once, whole");
    zvdbg_printf("one\ntwo\nthr");
    zvdbg_printf("ee\n");
    expect(writes_are("one\ntwo\n", "three\n"), "text after the last newline waits");
    char long_line[701];
    memset(long_line, 'x', 700);
    long_line[700] = '\0';
    zvdbg_printf("%s", long_line);
    zvdbg_printf("\n");
    bool lines_end;
    const char* cut = read_text(lines_end);
    expect(strspn(cut, "x") == 511 && strcmp(cut + 511, "\n") == 0, "a call longer than the buffer is cut, not overrun");

    unsigned char frame[64] = {};
    dump_data(frame, sizeof frame, "nas2eth");
    constexpr char zeros[] = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | ................\n";
    char whole[512];
    snprintf(whole, sizeof whole,
             "nas2eth\n\n              0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\r\n"
             "0x00000000 |%s0x00000010 |%s0x00000020 |%s0x00000030 |%s",
             zeros, zeros, zeros, zeros);
    expect(strcmp(read_text(lines_end), whole) == 0, "a 64-byte dump reaches the console whole, in order");
    expect(lines_end, "no line of it is torn between two writes");

    printf("%d passed, %d failed\n", m_checks - m_failures, m_failures);
    return m_failures == 0 ? 0 : 1;
}
