// SPDX-License-Identifier: ISC
// The relay loop: one wait on both endpoints, then at most one frame per side.
#include "relay/relay_loop.h"

#include <sys/select.h>

#include "platform/stop_pipe.h"
#include "relay/endpoints.h"
#include "relay/handlers.h"
#include "relay/links.h"

volatile sig_atomic_t m_exit = 0;

void run_relay_loop(int highest_fd, const char* eth_name, const char* nas_name)
{
    // The descriptors do not change while relaying. Held in locals, their places in the
    // set are worked out once, not again after every handler call that might have
    // written the process-wide ones.
    const int eth_fd = m_sockfd_eth;
    const int nas_fd = m_sockfd_nas;
    const int stop_fd = m_stop_fd;
    const int link_fd = m_link_fd;
    fd_set readable;
    while (m_exit == 0) {
        FD_ZERO(&readable);
        FD_SET(eth_fd, &readable);
        FD_SET(nas_fd, &readable);
        // Readable once a stop is asked, even if that happened since the check above.
        FD_SET(stop_fd, &readable);
        FD_SET(link_fd, &readable);
        int ready = select(highest_fd + 1, &readable, nullptr, nullptr, nullptr);
        if (ready == -1 || ready == 0) {
            continue;
        }
        if (FD_ISSET(eth_fd, &readable)) {
            eth2nas();
        }
        if (FD_ISSET(nas_fd, &readable)) {
            nas2eth();
        }
        if (FD_ISSET(link_fd, &readable)) {
            follow_links(eth_name, nas_name);
        }
    }
}
