#include "platform/audio/stream_worker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/audio/sound.h"

namespace tambrel::audio {
namespace {
// The audio thread never signals the worker; it only moves playheads. While
// anything sounds the worker looks again this often, which a chunk of
// read-ahead covers many times over.
constexpr auto kPollWhileSounding = std::chrono::milliseconds(2);
constexpr auto kPollWhileIdle = std::chrono::milliseconds(50);
}  // namespace

StreamWorker::StreamWorker() : thread_([this] { run(); }) {}

StreamWorker::~StreamWorker() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wakeUp_.notify_one();
    thread_.join();
}

void StreamWorker::add(std::shared_ptr<Sound> sound) {
    {
        std::lock_guard lock(mutex_);
        if (holds_ > 0) {
            held_.push_back(std::move(sound));
            return;
        }
        sounds_.push_back(std::move(sound));
        woken_ = true;
    }
    wakeUp_.notify_one();
}

void StreamWorker::wake() {
    {
        std::lock_guard lock(mutex_);
        takeHeld();
        woken_ = true;
    }
    wakeUp_.notify_one();
}

void StreamWorker::hold() {
    std::lock_guard lock(mutex_);
    ++holds_;
}

void StreamWorker::release() {
    {
        std::lock_guard lock(mutex_);
        if (--holds_ > 0 || held_.empty()) return;
        takeHeld();
        woken_ = true;
    }
    wakeUp_.notify_one();
}

void StreamWorker::takeHeld() {
    for (auto& sound : held_) sounds_.push_back(std::move(sound));
    held_.clear();
}

size_t StreamWorker::soundCount() const {
    std::lock_guard lock(mutex_);
    return sounds_.size() + held_.size();
}

bool StreamWorker::allFilled() const {
    std::lock_guard lock(mutex_);
    int64_t chunk = 0;
    int64_t urgency = 0;
    auto missing = [&](const auto& sound) { return sound->nextMissingChunk(chunk, urgency); };
    return std::none_of(sounds_.begin(), sounds_.end(), missing) &&
           std::none_of(held_.begin(), held_.end(), missing);
}

// Drops the sounds nobody else holds and returns the others. A sound whose
// only owner is this list can gain no new owner, and one whose audio
// references are all given back is no longer read by the audio thread.
std::vector<std::shared_ptr<Sound>> StreamWorker::collect() {
    std::vector<std::shared_ptr<Sound>> dead;
    std::vector<std::shared_ptr<Sound>> live;
    {
        std::lock_guard lock(mutex_);
        auto keep = sounds_.begin();
        for (auto& sound : sounds_) {
            if (sound.use_count() == 1 && sound->audioRefs.load(std::memory_order_acquire) == 0) {
                dead.push_back(std::move(sound));
            } else {
                *keep++ = std::move(sound);
            }
        }
        sounds_.erase(keep, sounds_.end());
        live = sounds_;
    }
    return live;  // `dead` is freed here, outside the lock
}

void StreamWorker::run() {
    pthread_setname_np(pthread_self(), "tambrel-stream");  // for top -H and the benches
    for (;;) {
        std::vector<std::shared_ptr<Sound>> sounds = collect();
        bool sounding = false;
        bool woken = false;
        // Fill chunks one at a time, always the most urgent, until all is full.
        for (;;) {
            Sound* best = nullptr;
            int64_t bestChunk = 0;
            int64_t bestUrgency = 0;
            for (const auto& sound : sounds) {
                sounding = sounding || sound->audioRefs.load(std::memory_order_relaxed) > 0;
                int64_t chunk = 0;
                int64_t urgency = 0;
                if (sound->nextMissingChunk(chunk, urgency) &&
                    (best == nullptr || urgency < bestUrgency)) {
                    best = sound.get();
                    bestChunk = chunk;
                    bestUrgency = urgency;
                }
            }
            if (best == nullptr) break;
            best->fill(bestChunk);
            std::lock_guard lock(mutex_);
            if (quit_) return;
            // A new sound or a start may have made something else more urgent.
            woken = std::exchange(woken_, false);
            if (woken) break;
        }
        sounds.clear();
        if (woken) continue;

        std::unique_lock lock(mutex_);
        wakeUp_.wait_for(lock, sounding ? kPollWhileSounding : kPollWhileIdle,
                         [this] { return woken_ || quit_; });
        if (quit_) return;
        woken_ = false;
    }
}

}  // namespace tambrel::audio
