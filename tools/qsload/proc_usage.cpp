#include "proc_usage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

uint64_t StatusField(const char* text, const char* name)
{
    const char* at = std::strstr(text, name);
    return at ? std::strtoull(at + std::strlen(name), nullptr, 10) : 0;
}

bool ReadSmallFile(const std::string& path, char* text, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    size_t n = std::fread(text, 1, size - 1, f);
    std::fclose(f);
    text[n] = 0;
    return n > 0;
}

// The inodes of the UDP sockets bound to port, from /proc/net/udp.
std::vector<unsigned long> UdpInodes(uint16_t port)
{
    std::vector<unsigned long> inodes;
    FILE* f = std::fopen("/proc/net/udp", "r");
    if (!f) return inodes;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        unsigned localAddress, localPort;
        unsigned long inode;
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
        if (std::sscanf(line, " %*d: %x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &localAddress, &localPort,
                        &inode) == 3 &&
            localPort == port)
            inodes.push_back(inode);
    }
    std::fclose(f);
    return inodes;
}

}  // namespace

ProcUsage ProcRead(pid_t pid)
{
    ProcUsage usage;
    char text[8192];
    std::string base = "/proc/" + std::to_string(pid);
    if (!ReadSmallFile(base + "/stat", text, sizeof text)) return usage;
    // The fields after the command name, which may itself hold spaces and parentheses.
    const char* rest = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    if (!rest || std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return usage;
    usage.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    if (!ReadSmallFile(base + "/status", text, sizeof text)) return usage;
    usage.rssKiB = StatusField(text, "VmRSS:");
    usage.peakKiB = StatusField(text, "VmHWM:");
    usage.ok = true;
    return usage;
}

pid_t ProcFindByUdpPort(uint16_t port)
{
    std::vector<unsigned long> inodes = UdpInodes(port);
    if (inodes.empty()) return 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (dirent* e = readdir(proc)) {
        pid_t pid = (pid_t)std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string fdPath = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = opendir(fdPath.c_str());
        if (!fds) continue;
        while (dirent* fd = readdir(fds)) {
            char target[64];
            ssize_t n = readlink((fdPath + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = 0;
            unsigned long inode;
            if (std::sscanf(target, "socket:[%lu]", &inode) != 1) continue;
            for (unsigned long wanted : inodes) {
                if (inode == wanted) found = pid;
            }
        }
        closedir(fds);
        if (found) break;
    }
    closedir(proc);
    return found;
}
