// Preloaded into the daemon: if_nametoindex answers 0, as it does when the
// interface is deleted between its up-check and its bind.
extern "C" unsigned int if_nametoindex(const char*)
{
    return 0;
}
