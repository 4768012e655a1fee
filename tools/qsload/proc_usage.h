// The usage of a process on this machine, read from /proc.
#pragma once

#include <cstdint>
#include <sys/types.h>

struct ProcUsage {
    bool ok = false;
    double cpuSeconds = 0; // user and system time
    uint64_t rssKiB = 0;   // resident now
    uint64_t peakKiB = 0;  // resident at most, since the process started
};

ProcUsage ProcRead(pid_t pid);

// The process (other than this one) that holds a UDP socket bound to port, or 0.
pid_t ProcFindByUdpPort(uint16_t port);
