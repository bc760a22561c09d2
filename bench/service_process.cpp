#include "service_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

bool ServiceProcess::Start(const std::string& path)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    pid4 = pid;
    std::string text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((port4 == 0 || port6 == 0) && std::chrono::steady_clock::now() < until) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        char buf[512];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = text.find('\n')) != std::string::npos) {
            const std::string line = text.substr(0, nl);
            text.erase(0, nl + 1);
            int port = 0, id = 0;
            if (std::sscanf(line.c_str(), "vaultline: listening on 0.0.0.0:%d pid %d", &port, &id) == 2) {
                port4 = port;
            } else if (std::sscanf(line.c_str(), "vaultline: listening on [::]:%d pid %d", &port, &id) == 2) {
                port6 = port;
                pid6 = id;
            }
        }
    }
    // The service ignores SIGPIPE, so once this end is closed its later
    // diagnostic lines are simply dropped.
    close(fds[0]);
    return port4 != 0 && port6 != 0;
}

void ServiceProcess::Stop()
{
    if (pid6 > 0) {
        kill(pid6, SIGKILL);
        pid6 = -1;
    }
    if (pid4 > 0) {
        kill(pid4, SIGKILL);
        waitpid(pid4, nullptr, 0);
        pid4 = -1;
    }
}
