#pragma once

// Rendering a null output faster than real time, period by period, each
// period only once the engine's read-ahead is full, so that no test depends
// on how quickly the stream worker happens to run.

#include <chrono>
#include <vector>

#include "platform/audio/audio_engine.h"
#include "platform/audio/null_output.h"
#include "tests/support/wait.h"

namespace tambrel::testing {

inline std::vector<float> renderWhenFilled(audio::AudioEngine& engine, audio::NullOutput& output,
                                           int frames, int period = 256) {
    std::vector<float> out(static_cast<size_t>(frames) * 2);
    for (int done = 0; done < frames; done += period) {
        waitUntil([&] { return engine.readAheadFilled(); }, std::chrono::seconds(10));
        output.render(out.data() + static_cast<size_t>(done) * 2, std::min(period, frames - done));
    }
    return out;
}

}  // namespace tambrel::testing
