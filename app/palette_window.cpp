#include "app/palette_window.h"
#include "journal/air_log.h"

#include <QApplication>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <algorithm>

#include "about/about_window.h"
#include "app/settings_file.h"
#include "input/key_map.h"
#include "platform/colors.h"
#include "platform/system.h"
#include "playback/audio_host.h"
#include "playback/mm_audio_player.h"
#include "playback/mm_hi_timer.h"
#include "playback/mm_slider.h"
#include "playback/slot_playback.h"

namespace tambrel::app {
namespace {

// The design layout, in twips.
constexpr int32_t kColumnLeft = 420;
constexpr int32_t kColumnStep = 2820;
constexpr int32_t kRowTop = 1320;
constexpr int32_t kRowStep = 1020;
constexpr int32_t kButtonWidth = 2835;
constexpr int32_t kButtonHeight = 795;
constexpr int32_t kLabelRise = 240;
constexpr int32_t kLabelWidth = 600;
constexpr int32_t kLabelHeight = 255;
constexpr int32_t kMeterWidth = 1635;
constexpr int32_t kSliderWidth = 225;
constexpr int32_t kWideButtonWidth = 3600;
constexpr int32_t kWideMeterWidth = 2400;
constexpr int32_t kOutputRight = 11685;
constexpr int32_t kOutputDesignWidth = 2805;
constexpr int32_t kOutputGap = 120;

constexpr int kLoopTimerInterval = 100;
// Under the last line of slots, where a 1024×768 screen still has room.
constexpr int32_t kClockTop = kRowTop + 7 * kRowStep - 60;
constexpr int32_t kClockHeight = 1000;

bool isAncestor(const QObject* ancestor, const QObject* child) {
    for (const QObject* o = child->parent(); o != nullptr; o = o->parent()) {
        if (o == ancestor) return true;
    }
    return false;
}

}  // namespace

QString slotLetter(int16_t slot) {
    return QString(QChar(65 + slot));
}

F1a::F1a(platform::System& system, platform::Dialogs& dialogs, playback::AudioHost& audio)
    : Dial1(dialogs),
      system_(system),
      dialogs_(dialogs),
      audio_(audio),
      client_(new platform::SurfaceWidget(this)) {
    setWindowTitle(QStringLiteral("Tambrel"));
    setWindowIcon(QIcon(QStringLiteral(":/tambrel/tambrel.png")));
    setCentralWidget(client_);
    client_->setAcceptDrops(true);  // files from a file manager, onto the slots
    buildSlots();
    buildControls();
    buildMenu();
    Timer1 = std::make_unique<playback::MMHiTimerX>(kRefreshMs, [this] { Timer1_OnTimer(); });
    TimmerBoucle = std::make_unique<playback::MMHiTimerX>(kLoopTimerInterval,
                                                          [this] { TimmerBoucle_OnTimer(); });
    // Key preview: the window sees every key before the focused control.
    qApp->installEventFilter(this);
    Form_Initialize();
}

F1a::~F1a() {
    qApp->removeEventFilter(this);
    audio_.DevicesChanged = nullptr;
    audio_.LoudnessKnown = nullptr;
    // The log asks the players what went on the air: it goes first. Plays it
    // was not told the end of stay in its record, and are written as
    // interrupted at the next start.
    airLog_.reset();
    // Players go before the audio host they are attached to is touched again.
    for (auto& player : Player) player.reset();
}

void F1a::buildSlots() {
    for (int16_t i = 0; i < kSlots; ++i) {
        const int32_t left = kColumnLeft + kColumnStep * (i % 4);
        const int32_t top = kRowTop + kRowStep * (i / 4);

        Touche[i] = std::make_unique<platform::CommandButton>(client_);
        Touche[i]->Move(left, top, kButtonWidth, kButtonHeight);
        Touche[i]->Click = [this, i] {
            if (clickModifiers_ & Qt::ShiftModifier) {
                fadeSlot(i);
            } else {
                Touche_Click(i);
            }
        };

        // Created after its button, so it lies over the button's left edge.
        Slider[i] = std::make_unique<playback::MMSliderX>(client_, i);
        Slider[i]->Move(left, top, kSliderWidth, kButtonHeight);
        Slider[i]->OnChange = [this](int16_t index) { Slider_OnChange(index); };
        Slider[i]->OnTrack = [this](int16_t index) { Slider_OnTrack(index); };

        InfoTrack[i] = std::make_unique<platform::Label>(client_);
        InfoTrack[i]->Move(left, top - kLabelRise, kLabelWidth, kLabelHeight);
        InfoTrack[i]->setCaption(QStringLiteral("Info Track"));
        InfoTrack[i]->setBackColor(playback::kInfoTrackColor);
        InfoTrack[i]->setToolTipText(QLatin1String(playback::kInfoTrackTip));
        InfoTrack[i]->DblClick = [this, i] { InfoTrack_DblClick(i); };

        Boucle[i] = std::make_unique<platform::Label>(client_);
        Boucle[i]->Move(left + kLabelWidth, top - kLabelRise, kLabelWidth, kLabelHeight);
        Boucle[i]->setCaption(QStringLiteral("Loop"));
        Boucle[i]->setBackColor(playback::kLoopOff);
        Boucle[i]->Click = [this, i] { Boucle_Click(i); };

        VueMettre[i] = std::make_unique<platform::PictureBox>(client_);
        VueMettre[i]->Move(left + 2 * kLabelWidth, top - kLabelRise, kMeterWidth, kLabelHeight);
        VueMettre[i]->MouseDown = [this, i](int16_t button, int16_t shift, float x, float y) {
            VueMettre_MouseDown(i, button, shift, x, y);
        };
        VueMettre[i]->MouseMove = [this, i](int16_t button, int16_t shift, float x, float y) {
            VueMettre_MouseMove(i, button, shift, x, y);
        };

        Player[i] = std::make_unique<playback::MMAudioPlayerX>(audio_, i);
        Player[i]->OnStop = [this](int16_t index) { Player_OnStop(index); };
        Player[i]->OnLoaded = [this](int16_t index) { Player_OnLoaded(index); };
    }
    for (int16_t line = 0; line < kLines; ++line) {
        Couleur[line] = std::make_unique<platform::Label>(client_);
        Couleur[line]->Move(180, kRowTop + kRowStep * line, kSliderWidth, kButtonHeight);
        Couleur[line]->setBackColor(kDefaultLineColors[line]);
        Couleur[line]->Click = [this, line] { Couleur_Click(line); };
    }
}

void F1a::buildControls() {
    BankName = std::make_unique<platform::Label>(client_);
    BankName->Move(3300, 180, 2400, 195);
    BankName->setCaption(QStringLiteral("Bank Name"));
    BankName->setVisible(false);

    ComboBank = std::make_unique<platform::ComboBox>(client_);
    ComboBank->Move(3240, 420, 2835, 360);
    ComboBank->setFont(QStringLiteral("Sans Serif"), 9.75, true);
    ComboBank->Click = [this] { ComboBank_Click(); };

    LblVolume = std::make_unique<platform::Label>(client_);
    // Wide enough for "Volume 17000" in today's fonts; the design's 525
    // twips showed "me 16".
    LblVolume->Move(6360, 480, 1500, 195);
    LblVolume->setCaption(QStringLiteral("Volume"));
    LblVolume->setVisible(false);

    // Across the top of the slots, above the lists, where the operator looks
    // when picking a palette.
    messageStrip = std::make_unique<platform::Label>(client_);
    messageStrip->Move(kColumnLeft, 90, 4 * kColumnStep, 300);
    messageStrip->setBackColor(platform::kNoticeColor);
    messageStrip->setVisible(false);

    // Its first entry shows whole in the font it has here, the list growing
    // leftwards from the design's right edge; never over the volume label.
    Output = std::make_unique<platform::ComboBox>(client_);
    const int32_t outputWidth = std::clamp(
        Output->WidthFor(Player[0]->DeviceName(playback::MMAudioPlayerX::kFirstDevice)),
        kOutputDesignWidth, kOutputRight - (LblVolume->Left() + LblVolume->Width()) - kOutputGap);
    Output->Move(kOutputRight - outputWidth, 420, outputWidth, 315);
    Output->Click = [this] { Output_Click(); };

    LblVerrou = std::make_unique<platform::Label>(client_);
    LblVerrou->Move(1080, 450, 1950, 300);
    LblVerrou->setFont(QStringLiteral("Sans Serif"), 9.75, true);
    LblVerrou->setCaption(QStringLiteral("VERROUILLÉ"));
    LblVerrou->setToolTipText(
        QStringLiteral("Palette verrouillée : Option › Verrouiller les touches"));
    LblVerrou->setBackColor(platform::QBColor(platform::kQBYellow));
    LblVerrou->setVisible(false);

    Horloge = std::make_unique<platform::Label>(client_);
    Horloge->Move(kColumnLeft, kClockTop, 2 * kColumnStep - 180, kClockHeight);
    Horloge->setFont(QStringLiteral("Sans Serif"), 27, true);
    Horloge->setVisible(false);
    Decompte = std::make_unique<platform::Label>(client_);
    Decompte->Move(kColumnLeft + 2 * kColumnStep, kClockTop, 2 * kColumnStep - 180, kClockHeight);
    Decompte->setFont(QStringLiteral("Sans Serif"), 36, true);
    Decompte->setVisible(false);
    clockTimer_ = new QTimer(this);
    clockTimer_->setSingleShot(true);
    clockTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(clockTimer_, &QTimer::timeout, this, [this] { Horloge_OnTimer(); });

    Keyboard = std::make_unique<platform::TextBox>(client_);
    Keyboard->Move(420, 360, 495, 420);
    Keyboard->setFont(QStringLiteral("Sans Serif"), 13.5, true);
    Keyboard->Change = [this] { Keyboard_Change(); };

    File1.Wait = system_.fileWait();
    File1.setPattern(QStringLiteral("*.Bnk"));
    File1.PathChange = [this] { File1_PathChange(); };
    File1.Done = [this](const platform::FolderWorker::Done& done) { File1_Done(done); };
}

void F1a::buildMenu() {
    QMenuBar* bar = menuBar();
    MnuNewBank =
        std::make_unique<platform::MenuItem>(bar->addAction(QStringLiteral("Nouvelle Palette")));
    MnuNewBank->Click = [this] { MnuNewBank_Click(); };
    MnuSauverBank =
        std::make_unique<platform::MenuItem>(bar->addAction(QStringLiteral("Sauver Palette")));
    MnuSauverBank->Click = [this] { MnuSauverBank_Click(); };
    QMenu* option = bar->addMenu(QStringLiteral("Option"));
    MnuVolume = std::make_unique<platform::MenuItem>(option->addAction(QStringLiteral("Volume")));
    MnuVolume->setChecked(false);
    MnuVolume->Click = [this] { MnuVolume_Click(); };
    MnuPreEcoute = option->addMenu(QStringLiteral("Pré-écoute"));
    QObject::connect(MnuPreEcoute, &QMenu::aboutToShow, [this] { MnuPreEcoute_Show(); });
    MnuGrandesTouches =
        std::make_unique<platform::MenuItem>(option->addAction(QStringLiteral("Grandes touches")));
    MnuGrandesTouches->setChecked(false);
    MnuGrandesTouches->Click = [this] { MnuGrandesTouches_Click(); };
    MnuHorloge = std::make_unique<platform::MenuItem>(option->addAction(QStringLiteral("Horloge")));
    MnuHorloge->setChecked(false);
    MnuHorloge->Click = [this] { MnuHorloge_Click(); };
    MnuVerrou = std::make_unique<platform::MenuItem>(
        option->addAction(QStringLiteral("Verrouiller les touches")));
    MnuVerrou->setChecked(false);
    MnuVerrou->Click = [this] { MnuVerrou_Click(); };
    MnuRemettre = std::make_unique<platform::MenuItem>(
        option->addAction(QStringLiteral("Remettre la touche effacée\tCtrl+Retour arrière")));
    MnuRemettre->Click = [this] { undoClear(); };
    MnuNormaliser = std::make_unique<platform::MenuItem>(
        option->addAction(QStringLiteral("Normaliser la sonie")));
    MnuNormaliser->setChecked(false);
    MnuNormaliser->Click = [this] { MnuNormaliser_Click(); };
    option->addSeparator();
    Supprimer = std::make_unique<platform::MenuItem>(
        option->addAction(QStringLiteral("Supprimer cette palette")));
    Supprimer->Click = [this] { Supprimer_Click(); };
    MnuQuitter = std::make_unique<platform::MenuItem>(bar->addAction(QStringLiteral("Quitter")));
    MnuQuitter->Click = [this] { MnuQuitter_Click(); };
    About = std::make_unique<platform::MenuItem>(bar->addAction(QStringLiteral("?")));
    About->Click = [this] { About_Click(); };
}

// On a screen exactly 1024 pixels wide the slots widen until the four
// buttons of a line touch each other.
void F1a::applyWideLayout() {
    for (int16_t i = 0; i < kSlots; ++i) Touche[i]->setWidth(kWideButtonWidth);
    for (int16_t i = 0; i < kSlots; i += 4) {
        for (int16_t k = 1; k <= 3; ++k) {
            Touche[i + k]->setLeft(Touche[0]->Left() + k * Touche[i]->Width());
        }
    }
    for (int16_t i = 0; i < kSlots; ++i) {
        const int32_t left = Touche[i]->Left();
        InfoTrack[i]->setLeft(left);
        Boucle[i]->setLeft(left + InfoTrack[i]->Width());
        VueMettre[i]->setLeft(left + 2 * kLabelWidth);
        VueMettre[i]->setWidth(kWideMeterWidth);
        Slider[i]->setLeft(left);
    }
    Output->setLeft(system_.screenWidthTwips() - Output->Width() - 600);
    messageStrip->setWidth(4 * kWideButtonWidth);
}

void F1a::Show() {
    Form_Load();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        setGeometry(screen->availableGeometry());  // where no window manager maximizes
    }
    showMaximized();
    Form_Activate();
}

void F1a::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) Form_Activate();
}

bool F1a::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    // A button's click comes from its release: what was held then says
    // whether it fades.
    if (type == QEvent::MouseButtonRelease) {
        clickModifiers_ = static_cast<const QMouseEvent*>(event)->modifiers();
    }
    if (type == QEvent::MouseButtonPress &&
        static_cast<const QMouseEvent*>(event)->button() == Qt::RightButton) {
        for (int16_t i = 0; i < kSlots; ++i) {
            if (Touche[i]->widget() == watched) preListen(i);
        }
    }
    if (type == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<const QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        // A menu, a list's popup or a box is a window of its own; the menu
        // bar keeps the keys a moment after its menu closed, and its Échap
        // only leaves it.
        const auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() != this || qobject_cast<const QMenuBar*>(widget) != nullptr) {
            escapeClosed();
        }
    }
    if (watched == client_ &&
        (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
        // Files are taken by a silent slot, and never while locked.
        auto* drop = static_cast<QDropEvent*>(event);
        const QPoint at = drop->position().toPoint();
        int16_t slot = -1;
        for (int16_t i = 0; i < kSlots; ++i) {
            if (Touche[i]->widget()->geometry().contains(at)) slot = i;
        }
        const bool files = drop->mimeData()->hasUrls() && !locked();
        // Entering anywhere, so that the pointer may go on to a silent slot.
        const bool taken =
            files && (type == QEvent::DragEnter || (slot >= 0 && !slotPlaying(slot)));
        if (files && slot >= 0 && type == QEvent::Drop) {
            if (slotPlaying(slot)) {
                showMessage(QStringLiteral("Touche ") + slotLetter(slot) +
                            QStringLiteral(" à l'antenne : rien n'est déposé"));
            } else {
                dropFiles(slot, drop->mimeData()->urls());
            }
        }
        if (taken) {
            drop->acceptProposedAction();
        } else {
            drop->ignore();
        }
        return true;
    }
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        keyPreview(watched, event);
    }
    return false;  // the key goes on to the focused control
}

// A key event the focused control ignores travels up to its parents; the
// window handles it once, where it first arrives.
bool F1a::keyPreview(QObject* target, QEvent* event) {
    const auto& key = static_cast<const QKeyEvent&>(*event);
    const KeySeen seen{event->type(), key.key(), key.modifiers(), key.isAutoRepeat()};
    if (event == previewed_ && seen == previewedKey_ && previewedTarget_ != nullptr &&
        isAncestor(target, previewedTarget_)) {
        return false;
    }
    previewed_ = event;
    previewedKey_ = seen;
    previewedTarget_ = target;
    // A held key fires its slot once: the keyboard's repeats are not presses.
    // The window system sends a repeat as a release and a press of the same
    // time; Qt flags them only when the press had already arrived as it
    // looked, so the time tells the rest (no finger presses within the
    // millisecond it let go).
    const bool repeat = key.isAutoRepeat() ||
                        (event->type() == QEvent::KeyPress && key.timestamp() != 0 &&
                         key.key() == lastRelease_.key && key.timestamp() == lastRelease_.time);
    if (event->type() == QEvent::KeyRelease) lastRelease_ = {key.key(), key.timestamp()};
    if (repeat) return true;
    const input::KeyCodes codes = input::mapKey(key);
    if (event->type() == QEvent::KeyPress) {
        Form_KeyDown(codes.keyCode, codes.shift);
        // Maj with a letter fades its slot out; Caps Lock types capitals
        // without it, and presses as usual.
        if (codes.shift == input::kShiftMask && codes.keyCode >= 65 && codes.keyCode <= 90) {
            fadeSlot(static_cast<int16_t>(codes.keyCode - 65));
        } else if (codes.keyAscii != 0) {
            Form_KeyPress(codes.keyAscii);
        }
    } else {
        Form_KeyUp(codes.keyCode, codes.shift);
    }
    return true;
}

}  // namespace tambrel::app
