#pragma once

// The about window: the title picture, the version line and a credit line,
// framed in a double bevel. It stands alone as the start-up screen while the
// palette window loads, and opens as a modal box from the "?" menu entry.
// A click on the picture or on the credit line closes it.

#include <QDialog>
#include <memory>

#include "platform/controls.h"
#include "platform/surface_widget.h"

namespace tambrel::platform {
class Dialogs;
}

namespace tambrel::about {

// Places a window in the middle of the screen.
void CenterForm(QWidget& window);

class F2 : public QDialog {
  public:
    // Loading it runs Form_Load.
    explicit F2(platform::Dialogs& dialogs, QWidget* parent = nullptr);
    ~F2() override;

    void Form_Load();
    void Form_Activate();
    void Form_Click();
    void Label1_Click();

    platform::SurfaceWidget* surface() const { return surface_; }
    std::unique_ptr<platform::Label> Info;
    std::unique_ptr<platform::Label> Label1;

  protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    platform::Dialogs& dialogs_;
    platform::SurfaceWidget* surface_;  // owned by the window
};

}  // namespace tambrel::about
