// SPDX-License-Identifier: ISC
// Preloaded into the daemon to bring about what cannot be timed from outside,
// as QUELMAR_SHIM says:
//   no_index          the interface index lookup (SIOCGIFINDEX) fails with
//                     ENODEV, as it does when the interface is deleted between
//                     its up-check and its bind;
//   term_before_wait  SIGTERM arrives before every wait, after the loop has
//                     checked its stop flag;
//   endless_room_wait a wait for room in standard error (a poll of it and the
//                     stop pipe) never sees room and never runs out: only a
//                     stop can end it.
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <linux/sockios.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>

namespace {

bool shim_is(const char* name)
{
    const char* chosen = getenv("QUELMAR_SHIM");
    return chosen != nullptr && strcmp(chosen, name) == 0;
}

template <typename Function> Function* next(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

} // namespace

// Without <sys/ioctl.h>: glibc declares the request unsigned long, musl int; on
// the targets both are passed alike.
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == SIOCGIFINDEX && shim_is("no_index")) {
        errno = ENODEV;
        return -1;
    }
    return next<int(int, unsigned long, void*)>("ioctl")(fd, request, argument);
}

extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional, struct timeval* timeout)
{
    if (shim_is("term_before_wait")) {
        raise(SIGTERM);
    }
    return next<int(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select")(count, readable, writable,
                                                                               exceptional, timeout);
}

extern "C" int poll(struct pollfd* waits, nfds_t count, int timeout)
{
    if (shim_is("endless_room_wait") && count == 2) {
        struct pollfd stop_only[2] = {{-1, 0, 0}, waits[1]};
        int ready = next<int(struct pollfd*, nfds_t, int)>("poll")(stop_only, 2, -1);
        waits[0].revents = 0;
        waits[1].revents = stop_only[1].revents;
        return ready;
    }
    return next<int(struct pollfd*, nfds_t, int)>("poll")(waits, count, timeout);
}
