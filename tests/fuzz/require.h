#pragma once

// A fuzz target's promise: broken, the run stops as on a crash, and
// libFuzzer keeps the input that broke it.

#include <cstdlib>

inline void require(bool condition) {
    if (!condition) std::abort();
}
