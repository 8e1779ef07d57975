#pragma once

// What the benchmark's own process uses, read from the system.

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
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

// CPU time of the process's threads so far, in seconds, summed by thread name.
inline std::map<std::string, double> threadCpuSeconds() {
    std::map<std::string, double> byName;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The name is in parentheses and may hold spaces; the times follow it.
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        double user = 0, system = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) user = std::stod(field);
            if (i == 15) system = std::stod(field);
        }
        byName[line.substr(open + 1, close - open - 1)] += (user + system) / tick;
    }
    return byName;
}

}  // namespace tambrel::bench
