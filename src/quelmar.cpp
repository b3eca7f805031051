// SPDX-License-Identifier: ISC
// quelmar: relays every frame of an Ethernet-side interface to a nas-side
// interface without its Ethernet header, and drains the nas side.
//
// This file is the process's frame: options, start-up line, pid file, SIGTERM,
// and the one shutdown path that every end after option parsing goes through.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/standard_error.h"
#include "platform/stop_pipe.h"
#include "relay/claim.h"
#include "relay/endpoints.h"
#include "relay/links.h"
#include "relay/offloads.h"
#include "relay/relay_loop.h"
#include "trace/dump_data.h"

// Set by -v; read by the frame trace.
int m_verbose = 0;

namespace {

constexpr char pid_file_path[] = "/var/run/quelmar.pid";

// stdout is line-buffered into this so that the start-up line and "is not up!"
// reach a pipe or log file when written, not when the process ends; a buffer of
// our own keeps stdio from allocating one.
char m_stdout_buffer[256];

// Started with descriptor 0, 1 or 2 closed, the daemon would get a packet socket
// or the stop pipe there, and its messages and trace would go out on the wire as
// frames, or wake its own wait for ever. Where /dev/null cannot be opened (a
// chroot or a bare /dev), the root directory stands in, opened as a path only:
// every read and write on it fails at once. False, having said why, when
// nothing can stand in: the daemon does not start.
bool occupy_standard_descriptors()
{
    const char* stand_in = "/dev/null";
    int flags = O_RDWR;
    int fd = open(stand_in, flags);
    if (fd == -1) {
        stand_in = "/";
        flags = O_PATH | O_DIRECTORY;
        fd = open(stand_in, flags);
    }
    while (fd >= 0 && fd <= STDERR_FILENO) {
        fd = open(stand_in, flags);
    }
    if (fd == -1) {
        report_errno(stand_in);
        return false;
    }
    close(fd);
    return true;
}

// SIGTERM's default action, where the kernel discards it: as PID 1 of a PID
// namespace (a container's command), whose signals with the default action are
// dropped. The status is the one a shell reports for an end by SIGTERM.
void end_at_once(int /*signal*/)
{
    _exit(128 + SIGTERM);
}

// Until the handler is installed, a SIGTERM ends the process, and with it any
// wait for room in a full standard output or error, which a stop must end. An
// action inherited as SIG_IGN is not kept: it would end neither.
void end_on_sigterm()
{
    struct sigaction action = {};
    action.sa_handler = getpid() == 1 ? end_at_once : SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

// SIGTERM deliverable from the first instruction on, even if the process was
// started with it blocked (it is never blocked again). SIGPIPE ignored: a
// reader of standard output or error that went away (a log pipe that ended)
// must cost the text, not the relay; the write fails with EPIPE instead.
void settle_signals()
{
    end_on_sigterm();
    sigset_t sigterm_only;
    sigemptyset(&sigterm_only);
    sigaddset(&sigterm_only, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &sigterm_only, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] void exit_with_usage(const char* program)
{
    fprintf(stderr, "Usage: %s [-e eth_if] [-n nas_if] [-v]\n", program != nullptr ? program : "quelmar");
    exit(1);
}

// Same file semantics as fopen "w" (create or truncate, 0666 less the umask),
// without the FILE stdio would allocate for it. Failures are ignored: the
// daemon runs without a pid file.
void write_pid_file()
{
    pid_t pid = getpid();
    int fd = open(pid_file_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd == -1) {
        return;
    }
    char text[16];
    int length = snprintf(text, sizeof text, "%d", static_cast<int>(pid));
    ssize_t written = write(fd, text, static_cast<size_t>(length));
    static_cast<void>(written);
    close(fd);
}

// Besides the flag, wakes whatever wait the process is in: the relay loop's, or
// standard error's while it is full.
void handle_sigterm(int /*signal*/)
{
    m_exit = 1;
    wake_waits();
}

// Installs the handler with BSD signal() semantics, spelled out so that uClibc
// and musl behave like glibc (the handler stays installed, SIGTERM is held off
// while it runs, interrupted calls restart where they can), then opens the stop
// pipe, which the relay loop waits on too. A SIGTERM before the pipe is there
// only sets m_exit, which the loop checks before its first wait.
bool arm_sigterm(int& highest_fd)
{
    struct sigaction action = {};
    action.sa_handler = handle_sigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, nullptr) == -1) {
        puts("Cannot handle SIGTERM!");
        return false;
    }
    if (!open_stop_pipe()) {
        end_on_sigterm(); // without the pipe, the wait for room to report it could not end
        report_errno("pipe");
        return false;
    }
    return join_wait_set(m_stop_fd, "pipe", highest_fd);
}

} // namespace

int main(int argc, char* argv[])
{
    settle_signals();
    setvbuf(stdout, m_stdout_buffer, _IOLBF, sizeof m_stdout_buffer);
    if (!occupy_standard_descriptors()) {
        return 1; // nothing done yet, as after a usage error
    }

    const char* eth_name = nullptr;
    const char* nas_name = nullptr;
    int option;
    while ((option = getopt(argc, argv, "e:n:v")) != -1) {
        switch (option) {
        case 'e':
            eth_name = optarg;
            break;
        case 'n':
            nas_name = optarg;
            break;
        case 'v':
            m_verbose = 1;
            break;
        default:
            exit_with_usage(argv[0]);
        }
    }
    if (eth_name == nullptr || nas_name == nullptr) {
        exit_with_usage(argv[0]);
    }

    printf("eth interface: %s, nas interface: %s\n", eth_name, nas_name);
    // A second quelmar on this Ethernet side ends here, before the pid file, which is the first one's.
    if (!claim_ethernet_side(eth_name)) {
        return 0;
    }
    write_pid_file();

    int highest_fd = -1;
    if (open_endpoints(eth_name, nas_name, highest_fd) && arm_sigterm(highest_fd) && open_link_watch(highest_fd)) {
        // Once SIGTERM is handled: an orderly stop always finds what it must put back.
        follow_links(eth_name, nas_name);
        run_relay_loop(highest_fd, eth_name, nas_name);
    }

    // Shutdown: every end after option parsing comes here. The claim goes once
    // the offloads are back, so that a quelmar started next finds them so.
    restore_offloads();
    release_ethernet_side();
    close_link_watch();
    close_endpoints();
    close_stop_pipe();
    unlink(pid_file_path);
    return 0;
}
