#include "journal/air_log.h"

#include <vector>

namespace tambrel::journal {

AirLog::AirLog(std::unique_ptr<JournalWriter> writer, AiredOf airedOf, int sampleRate,
               std::function<Now()> now)
    : writer_(std::move(writer)),
      airedOf_(std::move(airedOf)),
      sampleRate_(sampleRate),
      now_(std::move(now)) {}

void AirLog::started(int slot, Play play) {
    if (slot < 0 || slot >= kSlots) return;
    plays_[static_cast<size_t>(slot)] = std::move(play);
    lapsByMarker_[static_cast<size_t>(slot)] = 0;
}

void AirLog::lapped(int slot) {
    if (sounding(slot)) ++lapsByMarker_[static_cast<size_t>(slot)];
}

void AirLog::ended(int slot, EndReason reason) {
    if (slot < 0 || slot >= kSlots || !sounding(slot)) return;
    if (std::optional<Play> play = complete(slot, reason)) writer_->write(*play);
    plays_[static_cast<size_t>(slot)].reset();
}

void AirLog::endAll(EndReason reason) {
    for (int slot = 0; slot < kSlots; ++slot) ended(slot, reason);
    keepInProgress();
}

void AirLog::keepInProgress() {
    std::vector<Play> sounding;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!plays_[static_cast<size_t>(slot)]) continue;
        if (std::optional<Play> play = complete(slot, EndReason::Interrupted)) {
            sounding.push_back(std::move(*play));
        }
    }
    if (sounding.empty() && !recorded_) return;  // nothing aside, nothing to say
    recorded_ = !sounding.empty();
    writer_->keepInProgress(std::move(sounding));
}

std::optional<Play> AirLog::complete(int slot, EndReason reason) const {
    const audio::AudioEngine::Aired aired = airedOf_(slot);
    if (!aired.first || !aired.last) return std::nullopt;  // nothing reached the device
    const Now now = now_();
    const auto wallOf = [&](Clock::time_point at) {
        return now.wall.addMSecs(
            -std::chrono::duration_cast<std::chrono::milliseconds>(now.steady - at).count());
    };
    Play play = *plays_[static_cast<size_t>(slot)];
    play.start = wallOf(*aired.first);
    play.end = wallOf(*aired.last);
    play.airedMs = aired.frames * 1000 / sampleRate_;
    play.laps = aired.laps + lapsByMarker_[static_cast<size_t>(slot)];
    play.endedBy = reason;
    play.dropouts = aired.gaps;
    return play;
}

}  // namespace tambrel::journal
