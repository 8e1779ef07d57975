#include <QAudioOutput>
#include <QMediaPlayer>
#include <QSoundEffect>
#include <QUrl>
#include <fstream>
#include <map>
#include <memory>

#include "bench/latency/candidates.h"

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kLoadLimit = 5000ms;

QUrl urlOf(const Clip& clip) {
    return QUrl::fromLocalFile(QString::fromStdString(clip.path));
}

struct MediaPlayer {
    QAudioOutput output;  // declared first: the player goes first
    QMediaPlayer player;

    explicit MediaPlayer(const Clip& clip) {
        player.setAudioOutput(&output);
        player.setSource(urlOf(clip));
    }
    bool loaded() const { return player.mediaStatus() == QMediaPlayer::LoadedMedia; }
    bool failed() const {
        return player.error() != QMediaPlayer::NoError ||
               player.mediaStatus() == QMediaPlayer::InvalidMedia;
    }
    bool idle() const { return player.playbackState() == QMediaPlayer::StoppedState; }
};

Record failedRecord(const std::string& candidate, const char* mode, int clip,
                    const std::string& why) {
    Record record{candidate, mode, clip, {}};
    record.outcome.problem = "never loaded";
    record.outcome.detail = why;
    return record;
}

// Loads a new player; null when it does not get to LoadedMedia in time.
std::unique_ptr<MediaPlayer> loadPlayer(TrialRunner& runner, const Clip& clip, std::string& why) {
    auto media = std::make_unique<MediaPlayer>(clip);
    runner.waitUntil([&] { return media->loaded() || media->failed(); }, kLoadLimit);
    if (media->loaded()) return media;
    why = media->failed() ? media->player.errorString().toStdString() : "not loaded within 5 s";
    return nullptr;
}

}  // namespace

std::vector<Record> runQMediaPlayer(TrialRunner& runner, const std::vector<Clip>& clips, int trials,
                                    const std::string& candidate) {
    std::vector<Record> records;
    const int count = static_cast<int>(clips.size());

    for (int i = 0; i < trials; ++i) {
        const int clip = i % count;
        std::string why;
        auto media = loadPlayer(runner, clips[static_cast<size_t>(clip)], why);
        if (!media) {
            records.push_back(failedRecord(candidate, kFresh, clip, why));
            continue;
        }
        Record record{candidate, kFresh, clip, {}};
        record.outcome = runner.run(
            clips[static_cast<size_t>(clip)], [&] { media->player.play(); },
            [&] { return media->idle(); });
        records.push_back(record);
    }

    // Each player is started once and stopped before its first trial, so
    // every trial is a start again.
    std::map<int, std::unique_ptr<MediaPlayer>> players;
    for (int i = 0; i < trials; ++i) {
        const int clip = i % count;
        auto& media = players[clip];
        if (!media) {
            std::string why;
            media = loadPlayer(runner, clips[static_cast<size_t>(clip)], why);
            if (!media) {
                records.push_back(failedRecord(candidate, kReused, clip, why));
                continue;
            }
            media->player.play();
            runner.waitForSound(1000ms);
            media->player.stop();
            runner.waitForSilence(1000ms);
        }
        media->player.stop();
        Record record{candidate, kReused, clip, {}};
        record.outcome = runner.run(
            clips[static_cast<size_t>(clip)], [&] { media->player.play(); },
            [&] { return media->idle(); });
        records.push_back(record);
    }
    return records;
}

std::vector<Record> runQSoundEffect(TrialRunner& runner, const std::vector<Clip>& clips,
                                    int trials) {
    const char* candidate = "QSoundEffect";
    std::vector<int> wavs;
    for (size_t i = 0; i < clips.size(); ++i) {
        if (!clips[i].mp3) wavs.push_back(static_cast<int>(i));
    }
    std::vector<Record> records;
    std::map<int, std::unique_ptr<QSoundEffect>> effects;
    for (int i = 0; i < trials; ++i) {
        const int clip = wavs[static_cast<size_t>(i) % wavs.size()];
        auto& effect = effects[clip];
        if (!effect) {
            effect = std::make_unique<QSoundEffect>();
            effect->setSource(urlOf(clips[static_cast<size_t>(clip)]));
            runner.waitUntil(
                [&] {
                    return effect->status() == QSoundEffect::Ready ||
                           effect->status() == QSoundEffect::Error;
                },
                kLoadLimit);
            if (effect->status() != QSoundEffect::Ready) {
                records.push_back(failedRecord(candidate, kReused, clip, "not ready within 5 s"));
                effect.reset();
                continue;
            }
            effect->play();
            runner.waitForSound(1000ms);
            effect->stop();
            runner.waitForSilence(1000ms);
        }
        effect->stop();
        Record record{candidate, kReused, clip, {}};
        record.outcome = runner.run(
            clips[static_cast<size_t>(clip)], [&] { effect->play(); },
            [&] { return !effect->isPlaying(); });
        records.push_back(record);
    }
    return records;
}

std::string loadedMediaBackend() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libffmpegmediaplugin") != std::string::npos) return "ffmpeg";
        if (line.find("libgstreamermediaplugin") != std::string::npos) return "gstreamer";
    }
    return "none";
}

}  // namespace tambrel::bench
