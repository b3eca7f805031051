// SPDX-License-Identifier: ISC
// Two quelmars on one Ethernet side would each turn its offloads off, and the
// first to stop would turn them on again under the other, which would then
// receive merged buffers and lose them. So a second one is refused. The claim
// is a name in the abstract namespace of local sockets: the kernel frees it
// with the process however it ends (SIGKILL too), it needs no writable file,
// and it belongs to the network namespace, as the interface's name does.
#include "relay/claim.h"

#include <errno.h>
#include <net/if.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/standard_error.h"

namespace {

int m_claim_fd = -1;

} // namespace

bool claim_ethernet_side(const char* eth_name)
{
    // "\0quelmar -e NAME", without a terminating NUL: abstract names are counted, not terminated.
    constexpr char prefix[] = "quelmar -e ";
    size_t name_length = strnlen(eth_name, IFNAMSIZ);
    if (name_length == IFNAMSIZ) {
        return true; // no interface has such a name: the start-up refuses it
    }
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, prefix, sizeof prefix - 1);
    memcpy(address.sun_path + sizeof prefix, eth_name, name_length);
    socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + sizeof prefix + name_length);
    m_claim_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_claim_fd != -1 && bind(m_claim_fd, reinterpret_cast<const struct sockaddr*>(&address), length) == 0) {
        return true;
    }
    if (errno == EADDRINUSE) {
        print_standard_error("%s: relayed by another quelmar already\n", eth_name);
    } else {
        report_errno("claim");
    }
    release_ethernet_side();
    return false;
}

void release_ethernet_side()
{
    if (m_claim_fd >= 0) {
        close(m_claim_fd);
        m_claim_fd = -1;
    }
}
