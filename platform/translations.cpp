#include "platform/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

#include "platform/report.h"

namespace tambrel::platform {

QtTranslations::QtTranslations() {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // The system's own French first (fr_CA, fr_BE... where Qt has them),
    // then plain French whatever the system's language.
    const QLocale system = QLocale::system();
    const QLocale french = system.language() == QLocale::French ? system : QLocale(QLocale::French);
    if (translator_.load(french, QStringLiteral("qtbase"), QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(&translator_)) {
        loadedFrom_ = translator_.filePath();
        return;
    }
    report(QStringLiteral("traductions de Qt introuvables dans %1, boîtes en anglais").arg(folder));
}

QtTranslations::~QtTranslations() {
    if (!loadedFrom_.isEmpty()) QCoreApplication::removeTranslator(&translator_);
}

}  // namespace tambrel::platform
