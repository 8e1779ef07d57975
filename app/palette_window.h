#pragma once

// The palette window: the one owner of every control of the program, from
// its creation until the process ends. The 28 slots live in its control
// arrays, one element of each per slot; the state of a slot is what its
// controls show. The window's handlers are defined in the folder of their
// subsystem (playback/, input/, palettes/...), each acting on these controls.
//
// The window's members and the components keep their historic names, in
// French, so that a form and its handlers read as they always have; every
// other name in the program is English. A glossary:
//   F1a           this window, the palette window
//   F2            the "À propos" window (about/)
//   Touche        a slot's button ("key"): its caption is the file's name
//   Boucle        a slot's loop marker ("loop"): yellow when the slot loops
//   Couleur       a line's colour strip ("colour"), one per line of 4 slots
//   VueMettre     a slot's meter: the bar that grows as the file plays
//   InfoTrack     a slot's label: its length or time left, a notice on
//                 failure; a double click empties the slot
//   ComboBank     the palette list ("bank": a palette)
//   BankName      the loaded palette's name
//   Keyboard      the hidden text box holding the focus, so that keys reach
//                 the window rather than a button
//   Timer1        the refresh tick: countdowns, bars, notices
//   TimmerBoucle  the loop tick: rewinds the looping slots near their end
//   mm_*, MM*X    the multimedia components: player, slider, precise timer
//   NomCourt      the short name shown on a button, from a path
//   QuelleLigne   the line (0 to 6) a slot is on ("which line")
//   FTime         milliseconds as "mm:ss"
//   Mnu*          menu entries

#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/options_file.h"
#include "journal/as_run.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "platform/file_list.h"
#include "platform/slot_count.h"
#include "platform/surface_widget.h"
#include "platform/text_file.h"

namespace tambrel::platform {
class System;
}
namespace tambrel::playback {
class AudioHost;
class ComponentError;
class MMAudioPlayerX;
class MMHiTimerX;
class MMSliderX;
}  // namespace tambrel::playback
namespace tambrel::journal {
class AirLog;
}
namespace tambrel::about {
class F2;
}

namespace tambrel::app {

inline constexpr int16_t kLines = 7;

// The slot's letter: "A" to "Z", then "[" and "\".
QString slotLetter(int16_t slot);

class F1a : public QMainWindow {
  public:
    // Creates the window and every control, then runs Form_Initialize.
    F1a(platform::System& system, platform::Dialogs& dialogs, playback::AudioHost& audio);
    ~F1a() override;

    // Showing the window: Form_Load, then the window appears, then Form_Activate.
    void Show();

    // Window events.
    void Form_Initialize();
    void CheckSoftware(F1a& X);
    void Form_Load();
    void Form_Activate();
    void CreateShortcut();
    void About_Click();
    void Form_Unload();
    void MnuQuitter_Click();
    // The desktop session ends, or the process is asked to end: the settings
    // are saved as when the window closes; a failure goes to standard error.
    void endOfSession();
    // "Load" reads the settings file into the window, "Save" writes it.
    void SettingsFile(const QString& Mode);
    // The operator changed a setting (the output, a line's colour): written now.
    void settingsChanged();

    // Slot playback.
    void Touche_Click(int16_t Index);
    // The same press from a remote control: the as-run log says so.
    void pressFromAfar(int16_t Index);
    void Player_OnStop(int16_t Index);
    // A slot's file is loaded, or was looked for again: the slot shows it,
    // and a press that waited for it starts now if it can still be heard in time.
    void Player_OnLoaded(int16_t Index);
    // Maj with the slot's letter or a click: a sounding slot fades out over
    // the options' fade time, and a second such gesture cuts it; a silent
    // one is pressed as usual.
    void fadeSlot(int16_t Index);
    // Échap: every sounding slot fades out over a second; a second Échap
    // during that fade cuts everything at once. Nothing sounding, nothing.
    void stopAll();
    // A right click: the slot plays from its start on the pre-listen device
    // (Option › Pré-écoute) and never on the air; a second one stops it.
    // Refused on the slot when that device is the air's. Not logged.
    void preListen(int16_t Index);
    bool preListening(int16_t Index) const;
    // What a slot's controls say of it, asked here and nowhere else.
    // Empty: its button shows no name (a name is two characters at least).
    bool slotIsEmpty(int16_t Index) const;
    // The loop flag: its marker is yellow.
    bool loopOn(int16_t Index) const;
    // Its player sounds, on air or pre-listened.
    bool slotPlaying(int16_t Index) const;
    // Fading to silence, by fadeSlot or stopAll: its playback ends there.
    bool fading(int16_t Index) const { return fadingBy_[static_cast<size_t>(Index)].has_value(); }
    // Failures on air show on the slot itself, never in a box.
    void showFileState(int16_t Index);
    void assignFile(int16_t Index, const QString& path);
    void clearSlot(int16_t Index);
    void showNotice(int16_t Index, const playback::ComponentError& failure);
    void endNotice(int16_t Index);
    void expireNotices();
    // A press on a slot whose file is not ready waits for it, as long as a
    // start may still be heard in time; a second press withdraws it.
    void waitForFile(int16_t Index);
    // On the refresh tick: presses waited too long are refused on their
    // slot, and files whose share did not answer are asked for again.
    void followLoads();
    // On the refresh tick, for a sounding slot: its file came too slowly
    // (a share that stalls under a bed read as it plays) and it went silent.
    void showStarving(int16_t Index);
    // A message for the operator on the window itself, never in a box that
    // would hold up the slots: on the strip above the palette list for
    // `seconds` (0: until another replaces it), and on standard error.
    void showMessage(const QString& text, double seconds = kMessageSeconds);
    void expireMessage();
    void Timer1_OnTimer();
    void Boucle_Click(int16_t Index);
    void syncLoop(int16_t Index);
    void toggleLoop(int16_t Index);
    void TimmerBoucle_OnTimer();

    // Volume, output and meters.
    void Slider_OnChange(int16_t Index);
    void Slider_OnTrack(int16_t Index);
    void MnuVolume_Click();
    void Output_Click();
    // The output list follows the devices that come and go, by name.
    void Output_Refresh();
    QString outputDeviceName(int32_t entry) const;
    void openChosenOutput();
    void showOutputState();
    void VueMettre_MouseDown(int16_t Index, int16_t Button, int16_t Shift, float X, float Y);
    void VueMettre_MouseMove(int16_t Index, int16_t Button, int16_t Shift, float X, float Y);
    // "Normaliser la sonie": every press brings its file to the target
    // loudness; the slots' tool tips give the figures and the gain.
    void MnuNormaliser_Click();
    void applyNormalising();
    void showLoudness(int16_t Index);
    // As the tool tip gives them; empty until measured.
    QString loudnessFigures(int16_t Index) const;

    // Options.ini: read at start, written whole at each change.
    void loadOptions();
    void optionsChanged();
    void MnuPreEcoute_Show();
    void MnuGrandesTouches_Click();
    // The layout the screen test chose, kept as it stands, then scaled to
    // fill the client area with "Grandes touches", or put back without.
    void keepLayout();
    void applyLayout();
    const Options& options() const { return options_; }

    // Keyboard.
    void Form_KeyPress(int16_t KeyAscii);
    void Form_KeyDown(int16_t KeyCode, int16_t Shift);
    void Form_KeyUp(int16_t KeyCode, int16_t Shift);
    void Keyboard_Change();
    // An Échap closed a menu, a list or a box: neither it nor one within
    // kEscapeSettleSeconds after it fades what sounds.
    void escapeClosed();
    static constexpr double kEscapeSettleSeconds = 1.0;

    // Palettes.
    void File1_PathChange();
    // The palette folder's thread answered: a palette read is loaded into
    // the slots if it is still the one asked for.
    void File1_Done(const platform::FolderWorker::Done& done);
    void loadPalette(const QString& entry, const QByteArray& bytes, QString failure);
    // The folder's answers to a save and to a deletion.
    void saved(const platform::FolderWorker::Done& done);
    void removed(const platform::FolderWorker::Done& done);
    // In the palette list as last listed.
    bool listed(const QString& name) const;
    void ComboBank_Click();
    void MnuNewBank_Click();
    void MnuSauverBank_Click();
    QString askPaletteName();
    // The slots' files and volumes, as a palette keeps them.
    struct SlotSet {
        std::array<QString, kSlots> paths;
        std::array<int32_t, kSlots> volumes{};
        bool operator==(const SlotSet&) const = default;
    };
    SlotSet slotSet() const;
    // Changed since the palette was loaded or saved (or since start).
    bool slotsChanged() const { return slotSet() != savedSlots_; }
    void Supprimer_Click();
    void InfoTrack_DblClick(int16_t Index);
    void Couleur_Click(int16_t Index);
    // Ctrl+Retour arrière: the slot a double click emptied last gets its
    // file, volume and loop marker back, if it is still empty.
    void undoClear();
    // Files dropped from a file manager on slot Index: they fill it and the
    // silent slots after it, in their order; a sounding slot is never touched.
    void dropFiles(int16_t Index, const QList<QUrl>& urls);
    // F1 to F12: the palette of that rank in the list, loaded as if picked there.
    void paletteKey(int rank);
    static constexpr int kPaletteKeys = 12;

    // "Verrouiller les touches": on air, what the slots hold stays as it is;
    // presses, fades, loops, volumes and palettes work as ever.
    void MnuVerrou_Click();
    bool locked() const { return options_.locked; }
    void showLock();

    // "Horloge": the time of day, and the remaining time of the slot started
    // last that does not loop, in large digits.
    void MnuHorloge_Click();
    void Horloge_OnTimer();
    // The slot the countdown follows; -1: none.
    int16_t countdownSlot() const;
    const QTimer* clockTimer() const { return clockTimer_; }

    // The slots' controls, by slot index.
    std::array<std::unique_ptr<platform::CommandButton>, kSlots> Touche;
    std::array<std::unique_ptr<playback::MMAudioPlayerX>, kSlots> Player;
    std::array<std::unique_ptr<playback::MMSliderX>, kSlots> Slider;
    std::array<std::unique_ptr<platform::PictureBox>, kSlots> VueMettre;
    std::array<std::unique_ptr<platform::Label>, kSlots> Boucle;
    std::array<std::unique_ptr<platform::Label>, kSlots> InfoTrack;
    // The lines' colour strips, by line index.
    std::array<std::unique_ptr<platform::Label>, kLines> Couleur;

    std::unique_ptr<platform::ComboBox> ComboBank;
    platform::FileListBox File1;
    std::unique_ptr<platform::ComboBox> Output;
    std::unique_ptr<platform::TextBox> Keyboard;
    std::unique_ptr<platform::Label> BankName;
    std::unique_ptr<platform::Label> LblVolume;
    // The window's own messages (showMessage); hidden while it has none.
    std::unique_ptr<platform::Label> messageStrip;
    std::unique_ptr<platform::Label> LblVerrou;  // says the palette is locked
    std::unique_ptr<platform::Label> Horloge;    // the time of day
    std::unique_ptr<platform::Label> Decompte;   // the on-air countdown
    platform::CommonDialog Dial1;
    std::unique_ptr<playback::MMHiTimerX> Timer1;
    std::unique_ptr<playback::MMHiTimerX> TimmerBoucle;

    std::unique_ptr<platform::MenuItem> MnuNewBank;
    std::unique_ptr<platform::MenuItem> MnuSauverBank;
    std::unique_ptr<platform::MenuItem> MnuVolume;
    QMenu* MnuPreEcoute = nullptr;  // "Aucune" and the devices, filled as it opens
    std::unique_ptr<platform::MenuItem> MnuGrandesTouches;
    std::unique_ptr<platform::MenuItem> MnuVerrou;
    std::unique_ptr<platform::MenuItem> MnuHorloge;
    std::unique_ptr<platform::MenuItem> MnuRemettre;
    std::unique_ptr<platform::MenuItem> MnuNormaliser;
    std::unique_ptr<platform::MenuItem> Supprimer;
    std::unique_ptr<platform::MenuItem> MnuQuitter;
    std::unique_ptr<platform::MenuItem> About;

    // The refresh tick's interval: countdowns and bars move at this pace.
    static constexpr int kRefreshMs = 500;
    static constexpr double kMessageSeconds = 8.0;
    static constexpr int kStopAllFadeMs = 1000;

    QString ProgramFolder;  // in the system's form, ending in "\"
    QString SettingsPath;
    QString OptionsPath;  // beside SettingsPath

    // The as-run log, from the end of loading (null before).
    journal::AirLog* airLog() const { return airLog_.get(); }

    // The window's title as the toolkit shows it.
    QString Caption() const { return windowTitle(); }
    void setCaption(const QString& caption) { setWindowTitle(caption); }
    // Where the slots stand: the client area, its stored background drawn on.
    platform::SurfaceWidget* client() const { return client_; }
    bool keyPreview(QObject* target, QEvent* event);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildSlots();
    void buildControls();
    void buildMenu();
    void applyWideLayout();
    void findProgramFolder();
    bool saveSettings(QString& failure);
    bool mayEnd();
    void sayIfNothingCanBeKept();
    void startAirLog();
    void endAirLog();
    void logStart(int16_t Index);
    void fadeOut(int16_t Index, journal::EndReason reason, int ms);
    void cut(int16_t Index, journal::EndReason reason);
    void showEndWarning(int16_t Index);
    void showPreListen(int16_t Index);
    // The other slots sounding on Index's line fade out, if it is exclusive.
    void fadeLineOthers(int16_t Index);
    void placeClock();
    void scheduleClock();

    platform::System& system_;
    platform::Dialogs& dialogs_;
    playback::AudioHost& audio_;
    platform::SurfaceWidget* client_;  // owned by the window
    std::unique_ptr<about::F2> F2_;
    std::unique_ptr<journal::AirLog> airLog_;
    // Why a slot's playback is being stopped, for the log; none: it ended by itself.
    std::array<std::optional<journal::EndReason>, kSlots> stopReason_{};
    bool pressFromAfar_ = false;
    // Why each fading slot fades; none: it does not.
    std::array<std::optional<journal::EndReason>, kSlots> fadingBy_{};
    Options options_;
    // The slot a double click emptied last, as it was.
    struct Cleared {
        int16_t slot = -1;  // none
        QString path;
        int32_t volume = 0;
        bool loop = false;
    };
    Cleared cleared_;
    std::array<uint64_t, kSlots> startedAs_{};  // the order the slots were last started in
    uint64_t starts_ = 0;
    QTimer* clockTimer_ = nullptr;  // owned by the window
    SlotSet savedSlots_;            // as the palette file holds them, or as they were at start
    bool blinkOn_ = false;          // the end warning's phase, turned at each refresh tick
    Qt::KeyboardModifiers clickModifiers_;  // held at the last mouse release
    struct Placed {
        platform::Control* control;
        int32_t left, top, width, height;
        double points;  // its font's; 0: set by pixels
    };
    std::vector<Placed> layout_;  // as the screen test left it
    double layoutScale_ = 1.0;
    int refreshTicks_ = 0;
    int loadTicks_ = 0;
    uint64_t paletteAsked_ = 0;  // the palette read asked of the folder last, until it answers
    // Each palette file as this program last read or wrote it: a save over
    // one another studio changed since asks first.
    std::map<QString, platform::FolderWorker::Stamp> stamps_;
    struct Saving {
        uint64_t ticket = 0;  // none under way
        QString name;
        SlotSet held;
        platform::TextEncoding encoding = platform::TextEncoding::Utf8;
        QByteArray bytes;
    };
    Saving saving_;
    double paletteAskedAt_ = 0;
    std::array<double, kSlots> noticeUntil_{};  // clock time a slot's notice ends; 0: none
    std::array<double, kSlots> pressedAt_{};    // clock time of a press waiting for its file
    std::array<bool, kSlots> pressedFromAfar_{};
    std::array<uint32_t, kSlots> drySeen_{};  // the current playback's dry periods shown
    double messageUntil_ = 0;                 // clock time the strip's message ends; 0: never
    bool settingsLoaded_ = false;             // nothing is saved before they were read
    bool sessionEnding_ = false;
    bool sessionEnded_ = false;  // saved for the session's end: a close then never asks
    double escapeClosedAt_ = -kEscapeSettleSeconds;  // clock time of the last Échap that closed
    // The files are written back in the character set they were read in.
    platform::TextEncoding paletteEncoding_ = platform::TextEncoding::Utf8;
    platform::TextEncoding settingsEncoding_ = platform::TextEncoding::Utf8;
    // The key event being passed up from a child to its parents, seen once.
    struct KeySeen {
        QEvent::Type type = QEvent::None;
        int key = 0;
        Qt::KeyboardModifiers modifiers;
        bool autoRepeat = false;
        bool operator==(const KeySeen&) const = default;
    };
    const QEvent* previewed_ = nullptr;
    KeySeen previewedKey_;
    QPointer<QObject> previewedTarget_;
    struct {
        int key = 0;
        quint64 time = 0;
    } lastRelease_;
};

}  // namespace tambrel::app
