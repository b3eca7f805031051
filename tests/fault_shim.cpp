// SPDX-License-Identifier: ISC
// Preloaded into the daemon to bring about what cannot be timed from outside,
// as QUELMAR_SHIM says:
//   no_index          if_nametoindex answers 0, as it does when the interface
//                     is deleted between its up-check and its bind;
//   term_before_wait  SIGTERM arrives before every wait, after the loop has
//                     checked its stop flag.
#include <dlfcn.h>
#include <signal.h>
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

extern "C" unsigned int if_nametoindex(const char* name)
{
    return shim_is("no_index") ? 0 : next<unsigned int(const char*)>("if_nametoindex")(name);
}

extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional, struct timeval* timeout)
{
    if (shim_is("term_before_wait")) {
        raise(SIGTERM);
    }
    return next<int(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select")(count, readable, writable,
                                                                               exceptional, timeout);
}
