// SPDX-License-Identifier: ISC
// The stand-in console: each call's text in order, one write per finished line.
// Standard error is a SOCK_SEQPACKET socket here, so every write arrives as one message.
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

int m_failures = 0;

void expect(bool ok, const char* what)
{
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
    const writes& cut = read_writes();
    char joined[1024] = "";
    for (int i = 0; i < cut.count && strlen(joined) + strlen(cut.text[i]) < sizeof joined; i++) {
        strcat(joined, cut.text[i]);
    }
    expect(!cut.overflow && strspn(joined, "x") == 511 && strcmp(joined + 511, "\n") == 0,
           "a call longer than the buffer is cut, not overrun");

    unsigned char frame[64] = {};
    dump_data(frame, sizeof frame, "nas2eth");
    const writes& dump = read_writes();
    expect(!dump.overflow && dump.count == 6, "a 64-byte dump is six writes: label, header, four rows");
    bool lines_end = dump.count > 0;
    for (int i = 0; i < dump.count; i++) {
        size_t length = strlen(dump.text[i]);
        lines_end = lines_end && length > 0 && dump.text[i][length - 1] == '\n';
    }
    expect(lines_end, "every write ends a line");
    expect(dump.count > 0 && strcmp(dump.text[0], "nas2eth\n") == 0, "the label comes first");
    expect(dump.count == 6 && strncmp(dump.text[5], "0x00000030 | 00 00", 18) == 0, "the last row comes last");

    printf("%d passed, %d failed\n", 8 - m_failures, m_failures);
    return m_failures == 0 ? 0 : 1;
}
