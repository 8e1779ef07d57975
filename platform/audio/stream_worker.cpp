#include "platform/audio/stream_worker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/audio/sound.h"

namespace tambrel::audio {
namespace {
// The audio thread never signals the worker; it only moves playheads. While
// anything sounds the worker looks again this often, which a chunk of
// read-ahead covers many times over.
constexpr auto kPollWhileSounding = std::chrono::milliseconds(2);
constexpr auto kPollWhileIdle = std::chrono::milliseconds(50);
// How long the owner waits for the thread to end: any read from a disk that
// answers ends well within it.
constexpr auto kEndWait = std::chrono::seconds(2);
}  // namespace

StreamWorker::StreamWorker() : state_(std::make_shared<State>()) {
    std::thread([state = state_] { run(state); }).detach();
}

StreamWorker::~StreamWorker() {
    std::unique_lock lock(state_->mutex);
    state_->quit = true;
    state_->wakeUp.notify_one();
    state_->ended.wait_for(lock, kEndWait, [this] { return state_->done; });
}

void StreamWorker::add(std::shared_ptr<Sound> sound) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->holds > 0) {
            state_->held.push_back(std::move(sound));
            return;
        }
        state_->sounds.push_back(std::move(sound));
        state_->woken = true;
    }
    state_->wakeUp.notify_one();
}

void StreamWorker::wake() {
    {
        std::lock_guard lock(state_->mutex);
        state_->takeHeld();
        state_->woken = true;
    }
    state_->wakeUp.notify_one();
}

void StreamWorker::hold() {
    std::lock_guard lock(state_->mutex);
    ++state_->holds;
}

void StreamWorker::release() {
    {
        std::lock_guard lock(state_->mutex);
        if (--state_->holds > 0 || state_->held.empty()) return;
        state_->takeHeld();
        state_->woken = true;
    }
    state_->wakeUp.notify_one();
}

void StreamWorker::State::takeHeld() {
    for (auto& sound : held) sounds.push_back(std::move(sound));
    held.clear();
}

size_t StreamWorker::soundCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->sounds.size() + state_->held.size();
}

bool StreamWorker::allFilled() const {
    std::lock_guard lock(state_->mutex);
    int64_t chunk = 0;
    int64_t urgency = 0;
    auto missing = [&](const auto& sound) { return sound->nextMissingChunk(chunk, urgency); };
    return std::none_of(state_->sounds.begin(), state_->sounds.end(), missing) &&
           std::none_of(state_->held.begin(), state_->held.end(), missing);
}

// Drops the sounds nobody else holds and returns the others. A sound whose
// only owner is this list can gain no new owner, and one whose audio
// references are all given back is no longer read by the audio thread.
std::vector<std::shared_ptr<Sound>> StreamWorker::State::collect() {
    std::vector<std::shared_ptr<Sound>> dead;
    std::vector<std::shared_ptr<Sound>> live;
    {
        std::lock_guard lock(mutex);
        auto keep = sounds.begin();
        for (auto& sound : sounds) {
            if (sound.use_count() == 1 && sound->audioRefs.load(std::memory_order_acquire) == 0) {
                dead.push_back(std::move(sound));
            } else {
                *keep++ = std::move(sound);
            }
        }
        sounds.erase(keep, sounds.end());
        live = sounds;
    }
    return live;  // `dead` is freed here, outside the lock
}

void StreamWorker::run(const std::shared_ptr<State>& state) {
    pthread_setname_np(pthread_self(), "tambrel-stream");  // for top -H and the benches
    const auto end = [&] {
        // The sounds go before the owner hears of it: their files close here.
        std::vector<std::shared_ptr<Sound>> sounds;
        std::vector<std::shared_ptr<Sound>> held;
        {
            std::lock_guard lock(state->mutex);
            sounds.swap(state->sounds);
            held.swap(state->held);
        }
        sounds.clear();
        held.clear();
        std::lock_guard lock(state->mutex);
        state->done = true;
        state->ended.notify_all();
    };
    for (;;) {
        std::vector<std::shared_ptr<Sound>> sounds = state->collect();
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
            std::lock_guard lock(state->mutex);
            if (state->quit) break;
            // A new sound or a start may have made something else more urgent.
            woken = std::exchange(state->woken, false);
            if (woken) break;
        }
        sounds.clear();
        if (woken) continue;

        std::unique_lock lock(state->mutex);
        if (!state->quit) {
            state->wakeUp.wait_for(lock, sounding ? kPollWhileSounding : kPollWhileIdle,
                                   [&] { return state->woken || state->quit; });
        }
        if (state->quit) {
            lock.unlock();
            end();
            return;
        }
        state->woken = false;
    }
}

}  // namespace tambrel::audio
