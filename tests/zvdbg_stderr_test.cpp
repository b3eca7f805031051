// SPDX-License-Identifier: ISC
// The stand-in console: each call's text in order, one write per finished line.
// Standard error is a SOCK_SEQPACKET socket here, so every write arrives as one message.
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/zvdbg.h"
#include "trace/dump_data.h"

int m_verbose = 1;

namespace {

int m_reader = -1;

std::vector<std::string> writes()
{
    std::vector<std::string> messages;
    char message[4096];
    ssize_t length;
    while ((length = recv(m_reader, message, sizeof message, MSG_DONTWAIT)) > 0) {
        messages.emplace_back(message, static_cast<size_t>(length));
    }
    return messages;
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
    expect(writes().empty(), "an unfinished line is held");
    zvdbg_printf("\n");
    expect(writes() == std::vector<std::string>{"label eth2nas\n"}, "a finished line is written at once, whole");
    zvdbg_printf("one\ntwo\nthr");
    zvdbg_printf("ee\n");
    expect(writes() == std::vector<std::string>{"one\ntwo\n", "three\n"}, "text after the last newline waits");
    std::string long_line(700, 'x');
    zvdbg_printf("%s", long_line.c_str());
    zvdbg_printf("\n");
    std::string joined;
    for (const std::string& w : writes()) {
        joined += w;
    }
    expect(joined == std::string(511, 'x') + "\n", "a call longer than the buffer is cut, not overrun");

    unsigned char frame[64] = {};
    dump_data(frame, sizeof frame, "nas2eth");
    std::vector<std::string> dump = writes();
    expect(dump.size() == 6, "a 64-byte dump is six writes: label, header, four rows");
    bool lines_end = !dump.empty();
    for (const std::string& w : dump) {
        lines_end = lines_end && w.back() == '\n';
    }
    expect(lines_end, "every write ends a line");
    expect(!dump.empty() && dump[0] == "nas2eth\n", "the label comes first");
    expect(dump.size() == 6 && dump[5].rfind("0x00000030 | 00 00", 0) == 0, "the last row comes last");

    printf("%d passed, %d failed\n", 8 - m_failures, m_failures);
    return m_failures == 0 ? 0 : 1;
}
