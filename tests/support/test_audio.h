#pragma once

// Audio files made on the spot for tests and benchmarks, so that nothing
// large is committed. Written with libsndfile, as the engine reads them.

#include <cstdint>
#include <functional>
#include <string>

namespace tambrel::testing {

enum class FileKind { Wav16, WavFloat, Mp3 };

// Writes `frames` frames of `channels` channels at `rate`; sample(frame,
// channel) gives each value in [-1, 1]. False when the file cannot be written.
bool writeAudio(const std::string& path, FileKind kind, int rate, int channels, int64_t frames,
                const std::function<float(int64_t frame, int channel)>& sample);

// The staircase: frame f of a 16-bit file holds (f % 16384) / 32768 on the
// left and minus that on the right, so any sample names its own position;
// at half scale, it stays under the master limiter's ceiling.
float staircase(int64_t frame, int channel);

// Programme-like material for MP3 tests: a few tones and a little noise,
// which an encoder cannot reduce to nothing.
float programme(int64_t frame, int channel);

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace tambrel::testing
