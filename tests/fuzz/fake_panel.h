#pragma once

// A window for the remote requests' fuzz targets: slots in every state, a
// press that starts or stops a slot whose file is there, two palettes.

#include <array>

#include "remote/remote_control.h"

namespace tambrel::remote {

struct FakePanel final : Panel {
    std::array<SlotView, kSlots> views{};
    QString loaded;
    FakePanel() {
        for (int i = 0; i < kSlots; ++i)
            views.at(i) = {SlotState(i % 4), "Jingle", 1000 * i, i % 3 == 0, 1000 * i};
    }
    SlotView slot(int index) const override { return views.at(static_cast<size_t>(index)); }
    bool wouldAskForFile(int index) const override { return slot(index).state == SlotState::Empty; }
    void press(int index) override {
        SlotState& state = views.at(static_cast<size_t>(index)).state;
        if (state != SlotState::Missing)
            state = state == SlotState::Playing ? SlotState::Ready : SlotState::Playing;
    }
    QString notice(int index) const override {
        return slot(index).state == SlotState::Missing
                   ? QStringLiteral("Fichier introuvable : /x/Jingle.wav")
                   : QString();
    }
    void fade(int index) override { press(index); }
    void cue(int index) override { press(index); }
    void stopAll() override {}
    void toggleLoop(int index) override { views.at(static_cast<size_t>(index)).loop ^= true; }
    QStringList palettes() const override {
        return {QStringLiteral("Matin.Bnk"), QStringLiteral("Soir.Bnk")};
    }
    void loadPalette(const QString& entry) override { loaded = entry; }
    QString paletteName() const override { return loaded; }
};

}  // namespace tambrel::remote
