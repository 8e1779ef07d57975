#pragma once

// Finds, opens and decodes the head of the slots' files on threads of its
// own, so that the window's thread never waits on a disk or a share. A share
// can hold a call in the kernel for minutes, and a thread in such a call
// cannot be taken back: so the calls one mount may hold at once are bounded,
// and once every one of them has gone unanswered for kNoAnswer, a further
// file there is refused at once, with the mount's name, instead of taking
// another thread. Files elsewhere go on loading meanwhile.

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/decoder.h"
#include "platform/drive_mapping.h"

namespace tambrel::audio {
class Sound;
}

namespace tambrel::playback {

class SoundLoader {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kThreads = 16;
    static constexpr int kPerMount = 6;
    static constexpr std::chrono::seconds kNoAnswer{5};

    struct Request {
        int voice = -1;  // whose file
        QString path;    // as the palette or the dialog gives it
        std::shared_ptr<const platform::DriveMapping> drives;
        int rate = 44100;
        audio::SourceOpener opener = audio::openSndfile;
    };
    struct Result {
        uint64_t ticket = 0;
        int voice = -1;
        QByteArray located;  // the native file the path names here
        std::shared_ptr<audio::Sound> sound;
        bool missing = false;  // no file there
        int64_t size = -1;     // the file's, as it was loaded: which version it is
        int64_t modified = 0;  // nanoseconds since the epoch
        QString unanswered;    // refused: the mount that did not answer
    };

    SoundLoader();
    // Threads held by a share that never answers are left behind.
    ~SoundLoader();
    SoundLoader(const SoundLoader&) = delete;
    SoundLoader& operator=(const SoundLoader&) = delete;

    // The window's thread: never waits on a file.
    uint64_t submit(Request request);
    // What finished since the last call; waits up to `wait` for the first.
    std::vector<Result> take(std::chrono::milliseconds wait = {});
    // The mount a request has waited on for kNoAnswer or more; empty when
    // it has not, or has finished.
    QString unanswered(uint64_t ticket) const;
    // Requests asked and not yet taken.
    size_t pending() const;

    // The mount point a native path lies under, by the longest match in
    // `mounts`.
    static QByteArray mountOf(const QByteArray& nativePath, const std::vector<QByteArray>& mounts);

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace tambrel::playback
