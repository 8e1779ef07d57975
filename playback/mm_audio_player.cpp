#include "playback/mm_audio_player.h"

#include <algorithm>
#include <cmath>

#include "platform/audio/sound.h"
#include "platform/drive_mapping.h"
#include "platform/path_form.h"
#include "platform/text_file.h"
#include "playback/audio_host.h"
#include "playback/component_error.h"

namespace tambrel::playback {
float volumeGain(int32_t volume) {
    const double position = std::clamp(volume, 0, kVolumeMax) / static_cast<double>(kVolumeUnity);
    return static_cast<float>(position * position * position);
}

float linearGain(double db) {
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

std::optional<audio::Loudness> MMAudioPlayerX::Loudness() const {
    if (!playable()) return std::nullopt;
    return host_.loudness(located_, stamp_);
}

MMAudioPlayerX::MMAudioPlayerX(AudioHost& host, int16_t index)
    : host_(host),
      index_(index),
      voice_(host.attach([this] { raiseOnStop(); },
                         [this](SoundLoader::Result result) { take(std::move(result)); })) {
    if (voice_ < 0) {
        throw ComponentError(QStringLiteral("lecteur"), QStringLiteral("Trop de lecteurs audio"));
    }
}

MMAudioPlayerX::~MMAudioPlayerX() {
    host_.detach(voice_);
}

void MMAudioPlayerX::setFileName(const QString& path) {
    fileName_ = path;
    loaded_.reset();
    located_.clear();
    missing_ = false;
    unanswered_.clear();
    done_ = false;
    loading_ = 0;
    if (!path.isEmpty()) request();
}

void MMAudioPlayerX::request() {
    loading_ = host_.load(voice_, fileName_);
    if (host_.loadWait.count() > 0) host_.awaitLoad(loading_, host_.loadWait);
}

void MMAudioPlayerX::take(SoundLoader::Result result) {
    if (result.ticket != loading_) return;  // for a file written before
    loading_ = 0;
    done_ = true;
    located_ = std::move(result.located);
    missing_ = result.missing;
    unanswered_ = std::move(result.unanswered);
    loaded_ = std::move(result.sound);
    stamp_ = {result.size, result.modified};
    if (loaded_) host_.engine().adopt(loaded_);
    if (playable()) host_.measure(located_, stamp_);
    if (OnLoaded) OnLoaded(index_);
}

QString MMAudioPlayerX::WaitsOn() const {
    return loading_ != 0 ? host_.unanswered(loading_) : QString();
}

// Less than a millisecond of sound is no jingle but a damaged file, and
// would be heard as a click.
bool MMAudioPlayerX::playable() const {
    return loaded_ && loaded_->playable() && toMs(loaded_->frames()) > 0;
}

std::optional<ComponentError> MMAudioPlayerX::FileProblem() const {
    if (!done_ || playable()) return std::nullopt;
    if (!unanswered_.isEmpty()) {
        return ComponentError(QStringLiteral("sans réponse"),
                              QStringLiteral("Partage sans réponse : ") + unanswered_);
    }
    // Where it was looked for, and the palette's text when that says otherwise.
    QString where = platform::decodeLine(located_);
    if (platform::toNativePath(fileName_) != where) {
        where += QStringLiteral(" (") + fileName_ + u')';
    }
    if (missing_) {
        return ComponentError(QStringLiteral("absent"),
                              QStringLiteral("Fichier introuvable : ") + where);
    }
    return ComponentError(QStringLiteral("illisible"),
                          QStringLiteral("Fichier illisible : ") + where);
}

// What it showed stays until the file is found or not again.
void MMAudioPlayerX::reloadIfUnplayable() {
    if (!done_ || playable() || loading_ != 0) return;
    request();
}

int32_t MMAudioPlayerX::State() const {
    if (host_.engine().sounding(voice_)) return kStatePlaying;
    return fileName_.isEmpty() ? kStateClosed : kStateStopped;
}

int64_t MMAudioPlayerX::toFrames(int32_t ms) const {
    return static_cast<int64_t>(ms) * host_.engine().sampleRate() / 1000;
}

int32_t MMAudioPlayerX::toMs(int64_t frames) const {
    const int64_t ms = frames * 1000 / host_.engine().sampleRate();
    return static_cast<int32_t>(std::min<int64_t>(ms, INT32_MAX));
}

int32_t MMAudioPlayerX::Length() const {
    const auto& sound = State() == kStatePlaying ? sounding_ : loaded_;
    return sound ? toMs(sound->frames()) : 0;
}

int32_t MMAudioPlayerX::Position() const {
    if (State() != kStatePlaying) return 0;  // the next Play starts from the beginning
    return toMs(host_.engine().position(voice_));
}

void MMAudioPlayerX::setPosition(int32_t ms) {
    if (State() == kStatePlaying) host_.engine().seek(voice_, toFrames(std::max(ms, 0)));
}

void MMAudioPlayerX::Play() {
    // Already sounding: a start never restarts it.
    if (State() == kStatePlaying && !cueing_) return;
    resolveDevice();
    if (deviceMissing_) {
        throw ComponentError(
            QStringLiteral("sortie"),
            QStringLiteral("Sortie audio inconnue : n° ") + QString::number(deviceId_));
    }
    start(defaultDevice_ ? std::nullopt : std::optional<std::string>(deviceName_),
          defaultDevice_ ? DeviceName(kFirstDevice) : QString::fromStdString(deviceName_));
    cueing_ = false;
}

void MMAudioPlayerX::PlayOn(const QString& device) {
    if (State() == kStatePlaying) return;
    start(device.toStdString(), device);
    cueing_ = true;
}

// On the engine's device `device` (none: the system's default), shown to
// the operator as `shown`.
void MMAudioPlayerX::start(const std::optional<std::string>& device, const QString& shown) {
    if (fileName_.isEmpty()) {
        throw ComponentError(QStringLiteral("vide"), QStringLiteral("Aucun fichier"));
    }
    if (!done_) {
        throw ComponentError(
            QStringLiteral("pas prêt"),
            QStringLiteral("Partage lent : ") + fileName_ + QStringLiteral(" pas prêt"));
    }
    if (std::optional<ComponentError> problem = FileProblem()) throw *problem;
    const double gainDb = NormalGainDb();
    if (!host_.engine().play(voice_, loaded_, device, volumeGain(volume_) * linearGain(gainDb))) {
        if (device && !host_.present(*device)) {
            throw ComponentError(QStringLiteral("sortie"),
                                 QStringLiteral("Sortie audio absente : ") + shown);
        }
        const QString problem = QString::fromStdString(host_.engine().startProblem(device));
        throw ComponentError(
            QStringLiteral("sortie"),
            QStringLiteral("Sortie audio indisponible : ") + shown +
                (problem.isEmpty() ? QString() : QStringLiteral(" (") + problem + u')'));
    }
    endedByLoss_ = false;
    sounding_ = loaded_;
    playGainDb_ = gainDb;
}

void MMAudioPlayerX::Stop() {
    if (host_.engine().stop(voice_)) host_.stopped(voice_);
}

bool MMAudioPlayerX::FadeOut(int32_t ms) {
    return host_.engine().fadeOut(voice_, ms);
}

void MMAudioPlayerX::setRepeatAtEnd(bool on) {
    host_.engine().setRepeat(voice_, on);
}

audio::AudioEngine::Aired MMAudioPlayerX::aired() const {
    return host_.engine().aired(voice_);
}

void MMAudioPlayerX::raiseOnStop() {
    if (State() != kStatePlaying) sounding_.reset();  // no longer needed for Length
    endedByLoss_ = host_.engine().deviceLost(voice_);
    endedUnstarted_ = host_.engine().startedLate(voice_);
    if (OnStop) OnStop(index_);
    endedByLoss_ = endedUnstarted_ = false;
}

void MMAudioPlayerX::setVolume(int32_t volume) {
    volume_ = std::clamp(volume, 0, kVolumeMax);
    // The playback keeps the normalising gain of its press.
    host_.engine().setGain(voice_, volumeGain(volume_) * linearGain(playGainDb_));
}

void MMAudioPlayerX::setDeviceID(int32_t id) {
    deviceId_ = id;
    deviceResolved_ = false;
    resolveDevice();
}

// The number is turned into the device's name when it is given; the host
// never renumbers its devices, so the player keeps to its device whatever
// comes and goes, and finds it again when it comes back.
void MMAudioPlayerX::resolveDevice() {
    if (deviceResolved_) return;
    deviceResolved_ = true;
    defaultDevice_ = deviceId_ == kFirstDevice;
    deviceMissing_ = false;
    deviceName_.clear();
    if (defaultDevice_) return;
    const std::vector<AudioHost::Device>& devices = host_.devices();
    if (deviceId_ < 0 || deviceId_ >= static_cast<int32_t>(devices.size())) {
        deviceMissing_ = true;
        return;
    }
    deviceName_ = devices[static_cast<size_t>(deviceId_)].name;
}

std::optional<QString> MMAudioPlayerX::PlaysOn() {
    resolveDevice();
    if (!defaultDevice_) return QString::fromStdString(deviceName_);  // empty when unknown
    const std::optional<std::string> fallback = host_.engine().defaultDeviceName();
    if (!fallback) return std::nullopt;
    return QString::fromStdString(*fallback);
}

QString MMAudioPlayerX::DeviceName(int32_t n) const {
    if (n == kFirstDevice) return QStringLiteral("Sortie par défaut du système");
    if (n < 0 || n > kLastDevice) return {};
    const std::vector<AudioHost::Device>& devices = host_.devices();
    if (n >= static_cast<int32_t>(devices.size())) return {};
    return QString::fromStdString(devices[static_cast<size_t>(n)].name);
}

}  // namespace tambrel::playback
