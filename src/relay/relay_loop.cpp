// The relay loop: one wait on both endpoints, then at most one frame per side.
#include "relay/relay_loop.h"

#include <sys/select.h>

#include "relay/endpoints.h"
#include "relay/handlers.h"

volatile sig_atomic_t m_exit = 0;

void run_relay_loop(int highest_fd)
{
    // SIGTERM stays blocked except inside pselect, which unblocks it atomically:
    // one landing between the m_exit check and the wait is then taken by the wait
    // itself instead of waiting for the next frame.
    sigset_t sigterm_only;
    sigset_t wait_mask;
    sigemptyset(&sigterm_only);
    sigaddset(&sigterm_only, SIGTERM);
    sigprocmask(SIG_BLOCK, &sigterm_only, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);

    // The descriptors do not change while relaying. Held in locals, their places in the
    // set are worked out once, not again after every handler call that might have
    // written the process-wide ones.
    const int eth_fd = m_sockfd_eth;
    const int nas_fd = m_sockfd_nas;
    fd_set readable;
    while (m_exit == 0) {
        FD_ZERO(&readable);
        FD_SET(eth_fd, &readable);
        FD_SET(nas_fd, &readable);
        int ready = pselect(highest_fd + 1, &readable, nullptr, nullptr, nullptr, &wait_mask);
        if (ready == -1 || ready == 0) {
            continue;
        }
        if (FD_ISSET(eth_fd, &readable)) {
            eth2nas();
        }
        if (FD_ISSET(nas_fd, &readable)) {
            nas2eth();
        }
    }
}
