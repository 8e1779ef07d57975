#pragma once

// The thread that keeps every loaded sound's read-ahead full, most urgent
// chunk first, and frees sounds that neither a player nor a voice of the
// audio thread holds any more, so that no buffer is ever freed on the audio
// thread.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tambrel::audio {

class Sound;

class StreamWorker {
  public:
    StreamWorker();
    ~StreamWorker();
    StreamWorker(const StreamWorker&) = delete;
    StreamWorker& operator=(const StreamWorker&) = delete;

    // Any thread but the audio thread.
    void add(std::shared_ptr<Sound> sound);
    // Also takes in the sounds held back: a start never waits for a batch.
    void wake();
    // While held, sounds added wait aside, without waking the worker, until
    // the last release. Holds nest.
    void hold();
    void release();
    // Sounds still held by the worker (loaded and not yet freed).
    size_t soundCount() const;
    // True when every sound's read-ahead is full just now.
    bool allFilled() const;

  private:
    void run();
    std::vector<std::shared_ptr<Sound>> collect();
    void takeHeld();  // under the lock

    mutable std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool woken_ = false;
    bool quit_ = false;
    std::vector<std::shared_ptr<Sound>> sounds_;
    std::vector<std::shared_ptr<Sound>> held_;
    int holds_ = 0;
    std::thread thread_;
};

}  // namespace tambrel::audio
