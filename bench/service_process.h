#pragma once
// Starts the service binary and stops both of its processes again.

#include <string>
#include <sys/types.h>

struct ServiceProcess {
    pid_t pid4 = -1;
    pid_t pid6 = -1;
    int port4 = 0;
    int port6 = 0;

    // Starts path and waits (bounded) until both listeners report.
    bool Start(const std::string& path);
    // Kills both processes by id and reaps the parent.
    void Stop();
    ~ServiceProcess() { Stop(); }
};
