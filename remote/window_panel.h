#pragma once

// The palette window as remote requests see it: each request goes through
// the handler the operator's own gesture reaches.

#include "remote/remote_control.h"

namespace tambrel::app {
class F1a;
}

namespace tambrel::remote {

class WindowPanel : public Panel {
  public:
    explicit WindowPanel(app::F1a& window) : window_(window) {}

    SlotView slot(int index) const override;
    bool wouldAskForFile(int index) const override;
    void press(int index) override;
    void fade(int index) override;
    void cue(int index) override;
    void stopAll() override;
    QString notice(int index) const override;
    void toggleLoop(int index) override;
    QStringList palettes() const override;
    void loadPalette(const QString& entry) override;
    QString paletteName() const override;
    std::vector<uint32_t> lineColours() const override;
    int countdownSlot() const override;
    int warnMs() const override;

  private:
    app::F1a& window_;
};

}  // namespace tambrel::remote
