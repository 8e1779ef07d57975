#pragma once

// Qt's own texts (the buttons of the boxes, the file dialog) in the
// operator's language: French, as the rest of the program speaks, in the
// system's French when it names one. Installed for as long as it lives.

#include <QString>
#include <QTranslator>

namespace tambrel::platform {

class QtTranslations {
  public:
    QtTranslations();
    ~QtTranslations();
    QtTranslations(const QtTranslations&) = delete;
    QtTranslations& operator=(const QtTranslations&) = delete;

    // Where the texts came from; empty when none could be loaded (the boxes
    // then speak English, which the program says on standard error).
    const QString& loadedFrom() const { return loadedFrom_; }

  private:
    QTranslator translator_;
    QString loadedFrom_;
};

}  // namespace tambrel::platform
