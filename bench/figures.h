#pragma once

// What every benchmark's report is made of: elapsed times, medians, text.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace tambrel::bench {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Not a number when there is nothing to take the median of.
inline double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// What the run does now, on standard error, with the seconds since it began.
inline void progress(const std::string& what) {
    static const auto began = std::chrono::steady_clock::now();
    std::fprintf(stderr, "... %3.0f s  %s\n", secondsSince(began), what.c_str());
    std::fflush(stderr);
}

}  // namespace tambrel::bench
