// Start-up: the entry procedure, the single-instance rule and the loading of
// the palette window, step by step in the order the operator sees them.

#include <QApplication>
#include <QDir>

#include "about/about_window.h"
#include "app/palette_window.h"
#include "app/start_up.h"
#include "draw/drawing.h"
#include "journal/air_log.h"
#include "platform/file_system.h"
#include "platform/path_form.h"
#include "platform/system.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_slider.h"

namespace tambrel::app {
namespace {
constexpr double kNarrowestScreen = 800;
constexpr double kWideScreen = 1024;
constexpr double kSplashSeconds = 1.0;
constexpr int32_t kKeyboardOutOfSight = -1000;
}  // namespace

std::unique_ptr<F1a> Main(platform::System& system, platform::Dialogs& dialogs,
                          playback::AudioHost& audio) {
    checkAudioBackEnd(audio, dialogs);
    // The package's copy takes run.sh's copy's files the first time, before
    // its window exists: a slow disk holds up no window.
    const QString folder = platform::operatorFolder(system.exeFolder());
    const QString older = QDir::homePath() + QStringLiteral("/.local/lib/tambrel/");
    const int copied =
        platform::installedFromPackage(system.exeFolder()) ? copyOperatorFiles(older, folder) : 0;
    auto window = std::make_unique<F1a>(system, dialogs, audio);
    window->Show();
    if (copied > 0) {
        window->showMessage(QStringLiteral("Premier démarrage du paquet : %1 fichiers (palettes, "
                                           "réglages, journal) copiés de %2 dans %3 ; l'ancien "
                                           "dossier reste tel quel.")
                                .arg(copied)
                                .arg(older, folder),
                            0);
    }
    return window;
}

void F1a::Form_Initialize() {
    CheckSoftware(*this);
}

void F1a::CheckSoftware(F1a& X) {
    if (!system_.anotherInstanceRunning([this] {
            raise();
            activateWindow();
        })) {
        return;
    }
    dialogs_.MsgBox(QStringLiteral("This program is already in the air...."), platform::kButtonsOk,
                    QString());
    system_.setAppTitle(QString());
    X.setCaption(QString());
    // The running copy is reached through its lock and socket rather than by
    // its title; it comes to the front and takes the focus.
    system_.activateRunningInstance();
    system_.terminate();
}

void F1a::Form_Load() {
    F2_ = std::make_unique<about::F2>(dialogs_);
    F2_->show();
    system_.doEvents();
    system_.doEvents();

    setWindowState(Qt::WindowMaximized);

    findProgramFolder();
    SettingsPath = ProgramFolder + QStringLiteral("Tambrel.ini");
    OptionsPath = ProgramFolder + QStringLiteral("Options.ini");
    startAirLog();

    const double width = system_.screenWidthTwips() / double{platform::kTwipsPerPixel};
    if (width < kNarrowestScreen) {
        dialogs_.MsgBox(QStringLiteral("Mini 800x600"), platform::kIconWarning, QString());
        system_.terminate();
        return;
    }
    if (width == kWideScreen) applyWideLayout();
    // Only a copy that really starts points the desktop's launcher at itself:
    // a second copy or one refused by the screen leaves the launcher alone.
    CreateShortcut();

    Output->AddItem(Player[0]->DeviceName(-1));
    for (int32_t n = 0; n <= playback::MMAudioPlayerX::kLastDevice; ++n) {
        const QString name = Player[0]->DeviceName(n);
        if (!name.trimmed().isEmpty()) Output->AddItem(name);
    }
    Output_Refresh();  // devices past the eleventh, had the system more
    audio_.DevicesChanged = [this] { Output_Refresh(); };
    audio_.LoudnessKnown = [this](const QByteArray& path) {
        for (int16_t i = 0; i < kSlots; ++i) {
            if (Player[i]->Located() == path) showLoudness(i);
        }
    };
    Output->setListIndex(0);  // a selection: every player goes to the default device

    File1.setPath(QStringLiteral("\\"));
    system_.doEvents();
    File1.setPath(ProgramFolder);

    for (int16_t i = 0; i < kSlots; ++i) {
        InfoTrack[i]->setCaption(slotLetter(i));
        Touche[i]->setToolTipText(QStringLiteral("Touche ") + slotLetter(i) + u' ');
        Slider[i]->setValue(Player[i]->Volume());
    }
    savedSlots_ = slotSet();

    SettingsFile(QStringLiteral("Load"));
    settingsLoaded_ = true;
    loadOptions();
    sayIfNothingCanBeKept();
    readDriveMapping(platform::toNativePath(ProgramFolder), audio_, dialogs_);

    for (int16_t line = 0; line < kLines; ++line) {
        Couleur[line]->setToolTipText(QStringLiteral(" Choix de la couleur pour cette ligne "));
    }

    platform::waitSeconds(system_, kSplashSeconds);
    F2_.reset();
    BankName->setCaption(QString());
    Keyboard->setLeft(kKeyboardOutOfSight);
    keepLayout();
    applyLayout();
}

// Where the palettes and settings live: the executable's folder, but for
// the package's copy.
void F1a::findProgramFolder() {
    ProgramFolder = platform::toSystemPath(platform::operatorFolder(system_.exeFolder()));
    if (!ProgramFolder.endsWith(u'\\')) ProgramFolder += u'\\';
}

// Said once, and on the window: the operator must know before going on air
// that what they set up will not survive the program, yet nothing stops
// them from playing.
void F1a::sayIfNothingCanBeKept() {
    const QString folder = platform::toNativePath(ProgramFolder);
    QString failure;
    if (platform::folderTakesFiles(folder, failure)) return;
    showMessage(QStringLiteral("Le dossier du programme refuse l'écriture (") + failure +
                    QStringLiteral(") : ni les réglages, ni les palettes, ni le journal de "
                                   "diffusion ne seront enregistrés — ") +
                    folder,
                0);
}

// The as-run log in "Journal" beside the palettes. A log that cannot be
// written is told in a box that leaves the window working: the slots play on.
// Plays it had to leave out are said on the window once their number is
// written down. Both are told from the log's thread, so they come through
// the window's queue.
void F1a::startAirLog() {
    const QString folder = platform::toNativePath(ProgramFolder) + QStringLiteral("Journal/");
    auto writer = std::make_unique<journal::JournalWriter>(
        folder,
        [this](const QString& reason, const QString& path) {
            QMetaObject::invokeMethod(
                this,
                [this, reason, path] {
                    platform::showWarningAside(
                        this,
                        QStringLiteral("Le journal de diffusion ne peut pas être écrit :\n") +
                            reason + u'\n' + path,
                        QStringLiteral("Tambrel"));
                },
                Qt::QueuedConnection);
        },
        [this](uint64_t plays) {
            QMetaObject::invokeMethod(
                this,
                [this, plays] {
                    showMessage(
                        plays == 1
                            ? QStringLiteral("Le journal de diffusion est de nouveau écrit, mais "
                                             "1 diffusion n'a pas pu y être notée.")
                            : QStringLiteral("Le journal de diffusion est de nouveau écrit, mais "
                                             "%1 diffusions n'ont pas pu y être notées.")
                                  .arg(plays));
                },
                Qt::QueuedConnection);
        });
    airLog_ = std::make_unique<journal::AirLog>(
        std::move(writer), [this](int slot) { return Player[slot]->aired(); },
        audio_.engine().sampleRate(),
        [] {
            return journal::AirLog::Now{QDateTime::currentDateTime(),
                                        std::chrono::steady_clock::now()};
        });
}

void F1a::Form_Activate() {
    draw::DrawGradient(client_->surface(), true, true, true, true, false, true, 2);
    draw::Draw3dFrame(client_->surface(), dialogs_, 5, 3, draw::Enfonce, 8);
}

void F1a::About_Click() {
    // Modal: the palette takes no input meanwhile, but plays and ticks on.
    about::F2 box(dialogs_, this);
    box.exec();
}

}  // namespace tambrel::app
