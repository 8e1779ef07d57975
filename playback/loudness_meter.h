#pragma once

// Measures the slots' files on a thread of its own, at the lowest priority,
// so that a measure never delays a load, a press or the window: a file is
// decoded whole, which takes seconds. What it measured is kept in a small
// file beside the palettes (kCacheName), by path, size and modification
// time, so that a palette loaded again, here or after a restart, has its
// figures at once, and a file rewritten since is measured again. That file
// is read and written on this thread only: the palette folder may be a share.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/decoder.h"
#include "platform/audio/loudness.h"

namespace tambrel::playback {

class LoudnessMeter {
  public:
    static constexpr char kCacheName[] = "Sonie.txt";

    // Which version of a file: as the loader found it.
    struct Stamp {
        int64_t size = -1;
        int64_t modified = 0;  // nanoseconds since the epoch
        bool operator==(const Stamp&) const = default;
    };
    struct Result {
        QByteArray path;  // native
        Stamp stamp;
        audio::Loudness loudness;
    };

    explicit LoudnessMeter(audio::SourceOpener opener = audio::openSndfile);
    // A measure under way is given up; a thread held by a share is left.
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // The palette folder (native), where the figures are kept; empty: kept
    // in memory only. Never waits.
    void setFolder(const QString& nativeFolder);
    // Never waits; the answer comes through take().
    void submit(const QByteArray& nativePath, Stamp stamp);
    std::vector<Result> take();
    // Files decoded and measured since start (the rest came from the kept figures).
    int measures() const;
    // Nothing asked that is not answered, and the kept figures written.
    bool idle() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

// "path<TAB>size<TAB>modified<TAB>lufs<TAB>lra<TAB>peak" lines; the lufs
// field says "court" or "silence" for a file too short or silent. A line
// that cannot be read is skipped.
QByteArray writeLoudnessLines(const std::vector<LoudnessMeter::Result>& results);
std::vector<LoudnessMeter::Result> readLoudnessLines(const QByteArray& bytes);

}  // namespace tambrel::playback
