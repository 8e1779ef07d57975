#include "playback/slot_playback.h"

#include <optional>

#include "app/palette_window.h"
#include "journal/air_log.h"
#include "platform/colors.h"
#include "platform/path_form.h"
#include "platform/system.h"
#include "playback/mm_audio_player.h"

namespace tambrel::app {

using playback::ComponentError;
using playback::FTime;
using playback::kInfoTrackColor;
using playback::kPlaying;
using playback::NomCourt;

namespace {
constexpr double kNoticeSeconds = 2.0;
// A press that waited for its file starts only if it can still be heard
// within the late-start limit, the output's own queue included.
constexpr double kWaitedStartSeconds = 0.25 - 0.03;
// A palette read waits this long for its share before it is given up.
constexpr double kPaletteNoAnswerSeconds = 3.0;
// A file whose share did not answer is asked for again this often.
constexpr int kRetryTicks = 6;

// A press refused as its file came too late, or not at all.
ComponentError slowShare(const QString& file) {
    return ComponentError(
        QStringLiteral("pas prêt"),
        QStringLiteral("Partage lent : ") + NomCourt(file) + QStringLiteral(" pas prêt"));
}
}  // namespace

bool F1a::slotIsEmpty(int16_t Index) const {
    return Touche[Index]->Caption().size() < 2;
}

bool F1a::loopOn(int16_t Index) const {
    return Boucle[Index]->BackColor() == playback::kLoopOn;
}

bool F1a::slotPlaying(int16_t Index) const {
    return Player[Index]->State() == kPlaying;
}

void F1a::Touche_Click(int16_t Index) {
    // The first step that fails ends the press: what was done stays, and why
    // it failed shows on the slot for a moment, never in a box that would
    // hold up every other slot.
    try {
        // A pre-listened slot goes on air: the press starts it there.
        if (slotPlaying(Index) && !Player[Index]->Cueing()) {
            // Whatever its caption says: a sounding slot can always be stopped.
            stopReason_[static_cast<size_t>(Index)] =
                pressFromAfar_ ? journal::EndReason::Remote : journal::EndReason::Key;
            Player[Index]->Stop();
            Touche[Index]->setBackColor(platform::QBColor(platform::kQBWhite));
        } else if (slotIsEmpty(Index) && locked()) {
            // A stray click on air opens nothing.
        } else if (slotIsEmpty(Index)) {
            // Every format the engine plays; letter case is ignored.
            Dial1.Filter = QStringLiteral(
                "Fichiers audio mp3 wav flac ogg opus | *.mp3;*.wav;*.flac;*.ogg;*.opus");
            Dial1.Flags = 0;
            // A cancelled choice leaves the slot as it was.
            if (Dial1.ShowOpen()) assignFile(Index, Dial1.FileName);
        } else if (!Player[Index]->Ready()) {
            waitForFile(Index);
        } else {
            VueMettre[Index]->surface().setScaleWidth(static_cast<float>(Player[Index]->Length()));
            Player[Index]->Play();
            startedAs_[static_cast<size_t>(Index)] = ++starts_;
            logStart(Index);
            fadeLineOthers(Index);
            endNotice(Index);
            Touche[Index]->setBackColor(platform::QBColor(platform::kQBRed));
            VueMettre[Index]->surface().Cls();
        }
        Keyboard->SetFocus();
    } catch (const ComponentError& failure) {
        showNotice(Index, failure);
    } catch (const std::exception&) {
        showNotice(Index,
                   ComponentError(QStringLiteral("erreur"), QStringLiteral("Lecture impossible")));
    }
}

void F1a::waitForFile(int16_t Index) {
    double& at = pressedAt_[static_cast<size_t>(Index)];
    if (at > 0) {
        at = 0;
        showFileState(Index);
        return;
    }
    at = system_.clockSeconds();
    pressedFromAfar_[static_cast<size_t>(Index)] = pressFromAfar_;
    // One that could not be played is looked for again (a share back, a
    // file copied in place since); its answer may come at once.
    Player[Index]->reloadIfUnplayable();
    if (at > 0 && !Player[Index]->Loading()) {
        at = 0;
        if (std::optional<ComponentError> problem = Player[Index]->FileProblem()) throw *problem;
    }
}

void F1a::Player_OnLoaded(int16_t Index) {
    if (!slotPlaying(Index)) showFileState(Index);
    double& at = pressedAt_[static_cast<size_t>(Index)];
    if (at <= 0) return;
    const double waited = system_.clockSeconds() - at;
    at = 0;
    if (Player[Index]->Ready() && waited <= kWaitedStartSeconds) {
        const bool fromAfar = pressFromAfar_;
        pressFromAfar_ = pressedFromAfar_[static_cast<size_t>(Index)];
        Touche_Click(Index);
        pressFromAfar_ = fromAfar;
    } else if (Player[Index]->Ready()) {
        showNotice(Index, slowShare(Player[Index]->FileName()));
    } else if (std::optional<ComponentError> problem = Player[Index]->FileProblem()) {
        showNotice(Index, *problem);
    }
}

void F1a::followLoads() {
    const double now = system_.clockSeconds();
    // A palette whose share does not answer: its answer, if it comes, loads nothing.
    if (paletteAsked_ != 0 && now - paletteAskedAt_ > kPaletteNoAnswerSeconds) {
        paletteAsked_ = 0;
        ComboBank->setText(BankName->Caption());
        showMessage(QStringLiteral("Palette non chargée : partage sans réponse — ") +
                    platform::toNativePath(File1.Path()));
    }
    const bool retry = ++loadTicks_ % kRetryTicks == 0;
    for (int16_t i = 0; i < kSlots; ++i) {
        double& at = pressedAt_[static_cast<size_t>(i)];
        if (at > 0 && now - at > kWaitedStartSeconds && Player[i]->Loading()) {
            at = 0;
            const QString mount = Player[i]->WaitsOn();
            showNotice(i, mount.isEmpty()
                              ? slowShare(Player[i]->FileName())
                              : ComponentError(QStringLiteral("sans réponse"),
                                               QStringLiteral("Partage sans réponse : ") + mount));
        }
        if (slotPlaying(i) || noticeUntil_[static_cast<size_t>(i)] > 0) continue;
        if (Player[i]->Loading() && !Player[i]->FileProblem()) {
            showFileState(i);  // "chargement…" turns to the share not answering
        } else if (retry && Player[i]->FileProblem() &&
                   Player[i]->FileProblem()->word() == QStringLiteral("sans réponse")) {
            Player[i]->reloadIfUnplayable();
        }
    }
}

void F1a::showStarving(int16_t Index) {
    const uint32_t dry = Player[Index]->aired().dryPeriods;
    uint32_t& seen = drySeen_[static_cast<size_t>(Index)];
    if (dry <= seen) return;
    const QString reason = QStringLiteral("Partage lent : ") + NomCourt(Player[Index]->FileName()) +
                           QStringLiteral(" coupé, en attente du partage");
    // Said once on the strip when it begins; the slot shows it while it lasts.
    if (noticeUntil_[static_cast<size_t>(Index)] <= 0) {
        showMessage(QStringLiteral("Touche ") + slotLetter(Index) + QStringLiteral(" : ") + reason);
    }
    seen = dry;
    Touche[Index]->setNotice(reason);
    InfoTrack[Index]->setToolTipText(reason);
    InfoTrack[Index]->setBackColor(platform::kNoticeColor);
    noticeUntil_[static_cast<size_t>(Index)] = system_.clockSeconds() + kNoticeSeconds;
}

void F1a::pressFromAfar(int16_t Index) {
    pressFromAfar_ = true;
    Touche_Click(Index);
    pressFromAfar_ = false;
}

// What the log knows of a play from its start; the engine tells the rest.
void F1a::logStart(int16_t Index) {
    if (!airLog_) return;
    stopReason_[static_cast<size_t>(Index)].reset();
    journal::Play play;
    play.key = slotLetter(Index);
    play.palette = BankName->Caption();
    play.file = Player[Index]->FileName();
    play.title = NomCourt(play.file);
    play.fileMs = Player[Index]->Length();
    play.output = outputDeviceName(Player[Index]->DeviceID() + 1);
    airLog_->started(Index, std::move(play));
}

// From the dialog or a palette: the player takes the file (a sounding one
// plays on), the button shows its name and the label its length.
void F1a::assignFile(int16_t Index, const QString& path) {
    pressedAt_[static_cast<size_t>(Index)] = 0;  // a waiting press was for the file before
    Player[Index]->setFileName(path);
    Touche[Index]->setCaption(NomCourt(path) + QStringLiteral("\r\n\r\n") + slotLetter(Index));
    showFileState(Index);
}

// The player lets its file go (a sounding one plays on); the button shows
// its letter and the label "--:--".
void F1a::clearSlot(int16_t Index) {
    pressedAt_[static_cast<size_t>(Index)] = 0;
    Player[Index]->setFileName(QString());
    Touche[Index]->setCaption(slotLetter(Index));
    showFileState(Index);
}

void F1a::Player_OnStop(int16_t Index) {
    fadingBy_[static_cast<size_t>(Index)].reset();
    if (airLog_) {
        std::optional<journal::EndReason>& reason = stopReason_[static_cast<size_t>(Index)];
        airLog_->ended(Index, Player[Index]->EndedByDeviceLoss() ? journal::EndReason::OutputLost
                              : reason                           ? *reason
                                                                 : journal::EndReason::EndOfFile);
        reason.reset();
    }
    VueMettre[Index]->surface().Cls();
    showFileState(Index);
    if (Player[Index]->EndedByDeviceLoss()) {
        showNotice(Index, ComponentError(QStringLiteral("sortie"),
                                         QStringLiteral("Sortie audio perdue : ") +
                                             outputDeviceName(Output->ListIndex())));
    } else if (Player[Index]->EndedUnstarted()) {
        showNotice(Index,
                   ComponentError(QStringLiteral("sortie"),
                                  QStringLiteral("Sortie audio en retard, départ annulé : ") +
                                      outputDeviceName(Output->ListIndex())));
    }
}

// At rest a slot's label shows its file's length, or why the file cannot
// play, with the reason in its tool tip.
void F1a::showFileState(int16_t Index) {
    endNotice(Index);
    showLoudness(Index);
    if (std::optional<ComponentError> problem = Player[Index]->FileProblem()) {
        InfoTrack[Index]->setCaption(problem->word());
        InfoTrack[Index]->setToolTipText(problem->reason());
        InfoTrack[Index]->setBackColor(platform::kNoticeColor);
    } else if (!Player[Index]->Ready() && !Player[Index]->FileName().isEmpty()) {
        // Its file is being looked for, on a share that may be slow or silent.
        const QString mount = Player[Index]->WaitsOn();
        InfoTrack[Index]->setCaption(mount.isEmpty() ? QStringLiteral("chargement…")
                                                     : QStringLiteral("sans réponse"));
        InfoTrack[Index]->setToolTipText(
            mount.isEmpty() ? QStringLiteral("Chargement : ") + Player[Index]->FileName()
                            : QStringLiteral("Partage sans réponse : ") + mount);
        InfoTrack[Index]->setBackColor(mount.isEmpty() ? kInfoTrackColor : platform::kNoticeColor);
    } else {
        InfoTrack[Index]->setCaption(FTime(Player[Index]->Length()));
        InfoTrack[Index]->setToolTipText(QLatin1String(playback::kInfoTrackTip));
        InfoTrack[Index]->setBackColor(kInfoTrackColor);
    }
}

// A sounding slot keeps showing that it sounds, its red and its time: a
// refusal there is said on the window's strip instead.
void F1a::showNotice(int16_t Index, const ComponentError& failure) {
    if (slotPlaying(Index)) {
        showMessage(QStringLiteral("Touche ") + slotLetter(Index) + QStringLiteral(" : ") +
                    failure.reason());
        return;
    }
    Touche[Index]->setNotice(failure.reason());
    InfoTrack[Index]->setCaption(failure.word());
    InfoTrack[Index]->setToolTipText(failure.reason());
    InfoTrack[Index]->setBackColor(platform::kNoticeColor);
    noticeUntil_[static_cast<size_t>(Index)] = system_.clockSeconds() + kNoticeSeconds;
}

void F1a::endNotice(int16_t Index) {
    noticeUntil_[static_cast<size_t>(Index)] = 0;
    Touche[Index]->setNotice(QString());
}

// On the refresh tick: notices shown long enough give the slot back its own display.
void F1a::expireNotices() {
    const double now = system_.clockSeconds();
    for (int16_t i = 0; i < kSlots; ++i) {
        const double until = noticeUntil_[static_cast<size_t>(i)];
        if (until <= 0 || now < until) continue;
        if (slotPlaying(i)) {
            endNotice(i);  // the label counts down again at this tick
            InfoTrack[i]->setToolTipText(QLatin1String(playback::kInfoTrackTip));
        } else {
            showFileState(i);
        }
    }
}

}  // namespace tambrel::app
