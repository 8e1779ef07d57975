#include "platform/audio/sound.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace tambrel::audio {

std::shared_ptr<Sound> Sound::load(const std::string& nativePath, int outputRate,
                                   SourceOpener opener) {
    std::shared_ptr<Sound> sound(new Sound());
    sound->rate_ = outputRate;
    OpenResult opened = opener(nativePath);
    if (!opened.source) {
        sound->error_ = opened.error.empty() ? "cannot open the file" : opened.error;
        return sound;
    }
    auto stream = std::make_unique<StereoStream>(std::move(opened.source), outputRate);
    const int64_t declared = stream->frames();
    if (declared <= 0) {
        sound->error_ = "no audio in the file";
        return sound;
    }

    sound->headFrames_ = std::min(declared, kHeadChunks * kChunkFrames);
    sound->head_ =
        std::make_unique_for_overwrite<float[]>(static_cast<size_t>(sound->headFrames_ * 2));
    const int64_t now = std::min(sound->headFrames_, kChunkFrames);
    const int64_t got = stream->read(sound->head_.get(), now);
    if (got <= 0) {
        sound->head_.reset();
        sound->headFrames_ = 0;
        sound->error_ = "the audio data cannot be decoded";
        return sound;
    }
    sound->headReady_.store(got, std::memory_order_release);
    if (got < now) {
        // Shorter than the header claims: what decoded is the whole sound.
        sound->headFrames_ = sound->frames_ = got;
        sound->end_.store(got, std::memory_order_release);
        return sound;
    }

    sound->frames_ = declared;
    sound->end_.store(declared, std::memory_order_release);
    if (declared > now) {
        if (declared > sound->headFrames_) {
            sound->ringSize_ = std::min(kRingChunks, sound->chunkCount() - kHeadChunks);
            sound->ring_ = std::make_unique<Slot[]>(static_cast<size_t>(sound->ringSize_));
        }
        sound->share_ = stream->share();
        sound->stream_ = std::move(stream);
    }
    return sound;
}

Sound::~Sound() = default;

void Sound::markEnd(int64_t frame) {
    if (frame < end_.load(std::memory_order_relaxed)) end_.store(frame, std::memory_order_release);
}

int64_t Sound::read(int64_t frame, float* stereo, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        const int64_t at = frame + done;
        const int64_t end = endFrame();
        if (at >= end) break;
        if (at < headFrames_) {
            // The worker writes the head beyond headReady_ only.
            const int64_t ready = headReady_.load(std::memory_order_acquire);
            const int64_t n = std::min({count - done, ready - at, end - at});
            if (n <= 0) break;
            std::memcpy(stereo + done * 2, head_.get() + at * 2,
                        static_cast<size_t>(n) * 2 * sizeof(float));
            done += n;
            continue;
        }
        if (ringSize_ == 0) break;
        const int64_t chunk = at / kChunkFrames;
        const int64_t offset = at - chunk * kChunkFrames;
        Slot& slot = ring_[static_cast<size_t>((chunk - kHeadChunks) % ringSize_)];
        // Announce the read before looking at the slot; the worker announces
        // a rewrite before looking at the readers. One of the two sees the other.
        readers_.fetch_add(1, std::memory_order_seq_cst);
        if (slot.chunk.load(std::memory_order_seq_cst) != chunk) {
            readers_.fetch_sub(1, std::memory_order_release);
            break;
        }
        const int64_t n = std::min({count - done, kChunkFrames - offset, endFrame() - at});
        if (n > 0) {
            std::memcpy(stereo + done * 2, slot.samples.get() + offset * 2,
                        static_cast<size_t>(n) * 2 * sizeof(float));
        }
        readers_.fetch_sub(1, std::memory_order_release);
        if (n <= 0) break;
        done += n;
    }
    return done;
}

bool Sound::ready(int64_t frame, int64_t count) const {
    const int64_t end = std::min(endFrame(), frame + count);
    int64_t at = frame;
    while (at < end) {
        if (at < headFrames_) {
            const int64_t headReady = headReady_.load(std::memory_order_acquire);
            if (headReady <= at) return false;
            at = headReady;
            continue;
        }
        if (ringSize_ == 0) return false;
        const int64_t chunk = at / kChunkFrames;
        const Slot& slot = ring_[static_cast<size_t>((chunk - kHeadChunks) % ringSize_)];
        if (slot.chunk.load(std::memory_order_acquire) != chunk) return false;
        at = (chunk + 1) * kChunkFrames;
    }
    return true;
}

bool Sound::nextMissingChunk(int64_t& chunk, int64_t& urgency) const {
    if (!stream_) return false;
    const int64_t headReady = headReady_.load(std::memory_order_relaxed);
    if (headReady < std::min(headFrames_, endFrame())) {
        chunk = kHeadRest;
        urgency = std::max<int64_t>(0, headReady - playhead_.load(std::memory_order_relaxed));
        return true;
    }
    if (ringSize_ == 0) return false;
    const bool sounding = audioRefs.load(std::memory_order_relaxed) > 0;
    const int64_t playhead = playhead_.load(std::memory_order_relaxed);
    const int64_t first = std::max(kHeadChunks, playhead / kChunkFrames);
    const int64_t last = std::min(chunkCount(), first + ringSize_);
    const int64_t end = endFrame();
    for (int64_t c = first; c < last && c * kChunkFrames < end; ++c) {
        const Slot& slot = ring_[static_cast<size_t>((c - kHeadChunks) % ringSize_)];
        if (slot.chunk.load(std::memory_order_relaxed) == c) continue;
        chunk = c;
        // Idle sounds are filled after every sounding one, nearest chunks first.
        urgency = sounding ? std::max<int64_t>(0, c * kChunkFrames - playhead)
                           : (int64_t{1} << 40) + (c - first) * kChunkFrames;
        return true;
    }
    return false;
}

void Sound::fillHead() {
    const int64_t ready = headReady_.load(std::memory_order_relaxed);
    const int64_t want = std::min(kChunkFrames, headFrames_ - ready);
    const int64_t got = stream_->read(head_.get() + ready * 2, want);
    if (got < want) markEnd(ready + got);
    headReady_.store(ready + got, std::memory_order_release);
}

void Sound::fill(int64_t chunk) {
    if (chunk == kHeadRest) {
        fillHead();
        return;
    }
    Slot& slot = ring_[static_cast<size_t>((chunk - kHeadChunks) % ringSize_)];
    slot.chunk.store(-1, std::memory_order_seq_cst);
    while (readers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    if (!slot.samples) slot.samples = std::make_unique<float[]>(kChunkFrames * 2);

    const int64_t start = chunk * kChunkFrames;
    if (stream_->position() != start && !stream_->seek(start)) {
        markEnd(start);
    } else {
        const int64_t want = std::min(kChunkFrames, frames_ - start);
        const int64_t got = stream_->read(slot.samples.get(), want);
        if (got < want) markEnd(start + got);
    }
    slot.chunk.store(chunk, std::memory_order_release);
}

size_t Sound::sampleBytes() const {
    return static_cast<size_t>(headFrames_ * 2) * sizeof(float) +
           static_cast<size_t>(ringSize_ * kChunkFrames * 2) * sizeof(float);
}

}  // namespace tambrel::audio
