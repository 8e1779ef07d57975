// Options.ini applied to the window, and written back whole, beside the old
// file first, whenever the operator changes one of its choices.

#include <QMenu>

#include "app/palette_window.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/report.h"

namespace tambrel::app {

void F1a::loadOptions() {
    const QString path = platform::toNativePath(OptionsPath);
    if (platform::FileExists(OptionsPath)) {
        QByteArray bytes;
        QString failure;
        std::vector<QString> bad;
        if (platform::readFileBytes(path, bytes, failure)) {
            options_ = readOptions(bytes, bad);
        } else {
            bad.push_back(failure);
        }
        // Not on the window: the defaults stand in for what was not understood.
        for (const QString& line : bad) {
            platform::report(QStringLiteral("%1, %2 (ignorée)").arg(path, line));
        }
    }
    MnuVolume->setChecked(options_.volumes);
    LblVolume->setVisible(options_.volumes);
    MnuGrandesTouches->setChecked(options_.bigKeys);
    MnuHorloge->setChecked(options_.clock);
    showLock();
    placeClock();
    applyNormalising();
    if (!options_.paletteFolder.isEmpty()) {
        QString folder = platform::toSystemPath(options_.paletteFolder);
        if (!folder.endsWith(u'\\')) folder += u'\\';
        File1.setPath(folder);
    }
    File1_PathChange();  // the palette keys shown, or not
}

// "Aucune", then the devices as the output list names them; the choice is
// checked, even when its device is not here now.
void F1a::MnuPreEcoute_Show() {
    MnuPreEcoute->clear();
    QStringList names{QString()};
    for (int32_t entry = 1; entry < Output->ListCount(); ++entry) {
        names << outputDeviceName(entry);
    }
    if (!names.contains(options_.preListen)) names << options_.preListen;
    for (const QString& name : names) {
        QAction* action = MnuPreEcoute->addAction(name.isEmpty() ? QStringLiteral("Aucune") : name);
        action->setCheckable(true);
        action->setChecked(name == options_.preListen);
        QObject::connect(action, &QAction::triggered, this, [this, name] {
            options_.preListen = name;
            optionsChanged();
        });
    }
}

void F1a::MnuVerrou_Click() {
    options_.locked = !options_.locked;
    showLock();
    optionsChanged();
    Keyboard->SetFocus();
}

// Locked, the menus that change the palette files are greyed and the window
// says so where the palette list is.
void F1a::showLock() {
    MnuVerrou->setChecked(options_.locked);
    for (platform::MenuItem* item : {MnuNewBank.get(), MnuSauverBank.get(), Supprimer.get()}) {
        item->setEnabled(!options_.locked);
    }
    LblVerrou->setVisible(options_.locked);
}

void F1a::optionsChanged() {
    if (!settingsLoaded_) return;
    QString failure;
    if (platform::writeFileAtomically(platform::toNativePath(OptionsPath), writeOptions(options_),
                                      failure)) {
        return;
    }
    showMessage(QStringLiteral("Options non enregistrées : ") + failure + QStringLiteral(" — ") +
                platform::toNativePath(OptionsPath));
}

}  // namespace tambrel::app
