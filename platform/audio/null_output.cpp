#include "platform/audio/null_output.h"

#include <algorithm>
#include <utility>

#include "platform/audio/mixer.h"

namespace tambrel::audio {

NullOutput::~NullOutput() {
    if (backend_ == nullptr) return;
    std::lock_guard lock(backend_->mutex_);
    for (auto it = backend_->open_.begin(); it != backend_->open_.end(); ++it) {
        if (it->second == this) {
            backend_->open_.erase(it);
            break;
        }
    }
}

void NullOutput::render(float* stereo, int frames) {
    if (lost()) {
        std::fill_n(stereo, frames * 2, 0.0f);
        return;
    }
    mixer_.render(stereo, frames);
}

std::vector<float> NullOutput::render(int frames) {
    std::vector<float> out(static_cast<size_t>(frames) * 2);
    render(out.data(), frames);
    return out;
}

NullBackend::~NullBackend() {
    std::lock_guard lock(mutex_);
    for (auto& [name, output] : open_) output->backend_ = nullptr;
}

std::vector<std::string> NullBackend::deviceNames() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> present;
    for (const auto& name : names_) {
        if (std::find(unplugged_.begin(), unplugged_.end(), name) == unplugged_.end()) {
            present.push_back(name);
        }
    }
    return present;
}

bool NullBackend::devicesMayHaveChanged() {
    std::lock_guard lock(mutex_);
    return std::exchange(changed_, false);
}

std::optional<std::string> NullBackend::defaultDeviceName() {
    std::lock_guard lock(mutex_);
    return defaultName_;
}

void NullBackend::setDefaultDeviceName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    defaultName_ = std::move(name);
}

std::unique_ptr<AudioOutput> NullBackend::open(const std::optional<std::string>& name, Mixer& mixer,
                                               int, int) {
    std::lock_guard lock(mutex_);
    const std::string key = name.value_or("");
    if (name && (std::find(names_.begin(), names_.end(), key) == names_.end() ||
                 std::find(unplugged_.begin(), unplugged_.end(), key) != unplugged_.end())) {
        return nullptr;
    }
    auto output = std::make_unique<NullOutput>(mixer);
    output->backend_ = this;
    open_[key] = output.get();
    return output;
}

NullOutput* NullBackend::output(const std::optional<std::string>& name) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(name.value_or(""));
    return it == open_.end() ? nullptr : it->second;
}

void NullBackend::unplug(const std::string& name) {
    std::lock_guard lock(mutex_);
    unplugged_.push_back(name);
    changed_ = true;
    auto it = open_.find(name);
    if (it != open_.end()) it->second->lost_ = true;
}

void NullBackend::plugIn(const std::string& name) {
    std::lock_guard lock(mutex_);
    unplugged_.erase(std::remove(unplugged_.begin(), unplugged_.end(), name), unplugged_.end());
    changed_ = true;
}

void NullBackend::addDevice(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (std::find(names_.begin(), names_.end(), name) == names_.end()) names_.push_back(name);
    unplugged_.erase(std::remove(unplugged_.begin(), unplugged_.end(), name), unplugged_.end());
    changed_ = true;
}

}  // namespace tambrel::audio
