#pragma once

// What a component operation raises when it cannot do what was asked; the
// caller's own failure handling decides what the operator sees. It says it
// twice, in French: a word that fits a slot's small label, and the reason
// in a sentence for the slot's button and tool tip.

#include <QString>
#include <stdexcept>

namespace tambrel::playback {

class ComponentError : public std::runtime_error {
  public:
    ComponentError(const QString& word, const QString& reason)
        : std::runtime_error(reason.toStdString()), word_(word), reason_(reason) {}
    const QString& word() const { return word_; }
    const QString& reason() const { return reason_; }

  private:
    QString word_;
    QString reason_;
};

}  // namespace tambrel::playback
