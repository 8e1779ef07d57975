// The window's own messages: what the operator must know that belongs to no
// slot (a palette that cannot be loaded, a folder where nothing is kept),
// said on the window for a while and never in a modal box, which would hold
// up every slot until someone answers it.

#include "app/palette_window.h"
#include "platform/report.h"
#include "platform/system.h"

namespace tambrel::app {

void F1a::showMessage(const QString& text, double seconds) {
    platform::report(text);
    messageStrip->setCaption(text);
    messageStrip->setToolTipText(text);
    messageStrip->setVisible(true);
    messageUntil_ = seconds > 0 ? system_.clockSeconds() + seconds : 0;
}

// On the refresh tick.
void F1a::expireMessage() {
    if (messageUntil_ <= 0 || system_.clockSeconds() < messageUntil_) return;
    messageUntil_ = 0;
    messageStrip->setVisible(false);
    messageStrip->setCaption(QString());
}

}  // namespace tambrel::app
