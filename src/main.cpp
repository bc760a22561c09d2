// Vaultline: the local signing service. The parent serves IPv4, a forked
// child IPv6; each runs until it is killed.

#include "httpsservice.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int /*argc*/, char** /*argv*/)
{
    // A write to a peer that has gone must fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Line-buffered so the two processes' lines do not interleave or repeat.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const pid_t pid = fork();
    ipflag = pid == 0 ? 1 : 0;
    startservice();
    return 0;
}
