// Vaultline: the local signing service. The parent serves IPv4, a forked
// child IPv6; each runs until it is killed.

#include "httpsservice.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <pthread.h>
#include <sanitizer/lsan_interface.h>

#include <thread>

namespace {

// Sanitizer builds only. The service runs until it is killed, and a process
// ended by SIGTERM never reaches the leak check at exit, so the tests (which
// stop it with SIGTERM) would never see what it leaked while serving. Here a
// thread takes SIGTERM, runs the leak check and exits; a leak makes a report
// in the sanitizer log and the status 23.
void LeakCheckOnSigterm()
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    std::thread([term] {
        int sig = 0;
        sigwait(&term, &sig);
        _exit(__lsan_do_recoverable_leak_check() ? 23 : 0);
    }).detach();
}

}  // namespace
#endif

int main(int /*argc*/, char** /*argv*/)
{
    // A write to a peer that has gone must fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Line-buffered so the two processes' lines do not interleave or repeat.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const pid_t pid = fork();
    ipflag = pid == 0 ? 1 : 0;
#if defined(__SANITIZE_ADDRESS__)
    LeakCheckOnSigterm();  // after the fork: threads do not survive it
#endif
    startservice();
    return 0;
}
