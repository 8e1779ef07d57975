#pragma once

// The thread that keeps every loaded sound's read-ahead full, most urgent
// chunk first, and frees sounds that neither a player nor a voice of the
// audio thread holds any more, so that no buffer is ever freed on the audio
// thread.
//
// The engine keeps one for the local disks and one per network share, so
// that a share that stalls in the kernel starves only its own sounds. A
// worker held in such a call is left behind when its owner goes, with the
// sounds it holds; it ends once the call returns.

#include <condition_variable>
#include <memory>
#include <mutex>
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
    // What the thread shares with its owner, which it may outlive.
    struct State {
        mutable std::mutex mutex;
        std::condition_variable wakeUp;
        std::condition_variable ended;
        bool woken = false;
        bool quit = false;
        bool done = false;
        std::vector<std::shared_ptr<Sound>> sounds;
        std::vector<std::shared_ptr<Sound>> held;
        int holds = 0;

        std::vector<std::shared_ptr<Sound>> collect();
        void takeHeld();  // under the lock
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};

}  // namespace tambrel::audio
