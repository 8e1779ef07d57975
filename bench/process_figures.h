#pragma once

// What the benchmark's own process uses, read from the system.

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace tambrel::bench {

// User and system CPU time of the whole process so far, in seconds.
inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident memory now (VmRSS), in MB.
inline double residentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

}  // namespace tambrel::bench
