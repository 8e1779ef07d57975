// Palettes from the window: loading over a broadcast, partial loads, new,
// save and delete with the operator's answers, clearing slots and putting
// them back, files dropped on slots, colours.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <algorithm>

#include "tests/app/window_rig.h"

namespace tambrel::app {
namespace {

using platform::toSystemPath;
using Palettes = WindowTest;

TEST_F(Palettes, LoadingReplacesTheSlotsInPlaceWithoutCuttingWhatSounds) {
    assign(0, wav("on-air.wav", 3000));
    assign(2, wav("bed.wav", 3000));
    w.Touche_Click(0);
    w.Touche_Click(2);
    w.Boucle_Click(3);
    std::array<QString, kSlots> files;
    files[0] = wav("next.wav", 2000);
    files[5] = path("missing.mp3");
    files[27] = wav("Intro.wav", 5000);
    put("Matin.Bnk", palette(files, 12000));
    pick(QStringLiteral("Matin.Bnk"));

    EXPECT_EQ(dialogs.asked.size(), 2u);  // the two assignments, no failure
    // A slot with a file keeps sounding; an empty entry stops its slot.
    EXPECT_EQ(onAir(), "A");
    EXPECT_EQ(w.Player[0]->FileName(), toSystemPath(files[0]));
    EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("next\r\n\r\nA"));
    EXPECT_EQ(shows(2), "C|--:--");
    EXPECT_EQ(shows(27), "Intro\r\n\r\n\\|00:05");
    EXPECT_EQ(w.InfoTrack[27]->ToolTipText(), QStringLiteral(" Double click pour supprimer "));
    // A missing file still gets its slot; the rest of the palette loads.
    EXPECT_EQ(shows(5), "missing\r\n\r\nF|absent");
    EXPECT_EQ(w.InfoTrack[5]->ToolTipText(), "Fichier introuvable : " + path("missing.mp3"));
    for (int16_t i = 0; i < kSlots; ++i) EXPECT_EQ(w.Slider[i]->Value(), 12000);
    EXPECT_EQ(w.Player[9]->Volume(), 12000);  // through the slider's change event
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(loops(), "D");  // loop flags untouched
}

TEST_F(Palettes, ADamagedPaletteChangesNothingAndSaysWhyOnTheWindowNotInABox) {
    std::array<QString, kSlots> files;
    files[0] = wav("bed.wav", 5000);
    files[20] = wav("old.wav", 1000);
    put("Matin.Bnk", palette(files, 9000));
    pick(QStringLiteral("Matin.Bnk"));
    w.Touche_Click(0);
    const QString next = toSystemPath(wav("new.wav", 1000));
    put("Vide.Bnk", QByteArray());
    put("Court.Bnk", (next.toUtf8() + "\r\n").repeated(3));
    put("Mot.Bnk", palette({}).left(kSlots * 2) + " 100 \r\n 200 \r\nfort\r\n");
    put("Bruit.Bnk", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16).repeated(9));
    const std::pair<const char*, const char*> damaged[] = {
        {"Vide.Bnk", "Lecture après la fin du fichier (ligne 1)"},
        {"Court.Bnk", "Lecture après la fin du fichier (ligne 4)"},
        {"Mot.Bnk", "Type incompatible (volume de la touche C)"},
        {"Bruit.Bnk", "Caractère de contrôle dans un chemin (ligne 2)"},
        {"Parti.Bnk", "Fichier introuvable"},  // gone behind the list's back
    };
    w.ComboBank->AddItem(QStringLiteral("Parti.Bnk"));
    for (const auto& [name, why] : damaged) {
        pick(QString::fromUtf8(name));
        const QString message = QStringLiteral("Palette non chargée : ") + QString::fromUtf8(why) +
                                QStringLiteral(" — ") + path(name);
        EXPECT_EQ(w.messageStrip->Caption(), message);
        EXPECT_TRUE(w.messageStrip->Visible());
        EXPECT_EQ(w.ComboBank->ToolTipText(), message);
        // The list, the name and every slot as they were: what the operator
        // sees selected is what the slots play.
        EXPECT_EQ(w.ComboBank->Text(), QStringLiteral("Matin.Bnk")) << name;
        EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
        EXPECT_EQ(w.Player[1]->FileName(), QString());
        EXPECT_EQ(w.Touche[20]->Caption(), QStringLiteral("old\r\n\r\nU"));
        EXPECT_EQ(w.Slider[1]->Value(), 9000);
        EXPECT_EQ(onAir(), "A");
    }
    EXPECT_TRUE(dialogs.asked.empty());
    // The message goes after a while; a palette that loads clears the tool tip.
    system.clock += F1a::kMessageSeconds;
    w.Timer1_OnTimer();
    EXPECT_FALSE(w.messageStrip->Visible());
    pick(QStringLiteral("Matin.Bnk"));
    EXPECT_TRUE(w.ComboBank->ToolTipText().isEmpty());
}

TEST(WindowsPalettes, PlayThroughTheDriveMappingAndAreSavedUnchanged) {
    WindowRig rig;
    // The jingle folders as copied from the Windows machine: drive C as a
    // link beside the program, a share by a mapping line.
    QDir().mkpath(rig.path("copie/Jingles"));
    QDir().mkpath(rig.path("pubs"));
    rig.wav("copie/Jingles/Générique.wav", 1000);
    rig.wav("pubs/Pub 1.wav", 2000);
    ASSERT_EQ(::symlink(rig.dir.file("copie").c_str(), rig.dir.file("C").c_str()), 0);
    rig.put("Lecteurs.ini", "# Studio B\r\n\\\\Studio\\Pubs\r\n\\\\STUDIO\\Pubs=" +
                                rig.path("pubs").toUtf8() + "\r\n");
    F1a& w = rig.start();
    // The line it cannot use is said once, with where it is.
    ASSERT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.asked().style, 48);
    EXPECT_TRUE(rig.asked().text.contains(rig.path("Lecteurs.ini")));
    EXPECT_TRUE(rig.asked().text.contains(QStringLiteral("ligne 2 : \\\\Studio\\Pubs")));

    // As the Windows program writes it: Windows-1252, CR LF, other letter cases.
    const QByteArray windows =
        QByteArray("C:\\JINGLES\\g\xe9n\xe9rique.wav\r\n\\\\studio\\pubs\\PUB 1.wav\r\n") +
        "D:\\Absent.wav\r\n" + QByteArray("\r\n").repeated(25) +
        QByteArray(" 16384 \r\n").repeated(27) + " 8000 \r\n";
    rig.put("Windows.Bnk", windows);
    rig.pick(QStringLiteral("Windows.Bnk"));
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_EQ(rig.shows(0), "générique\r\n\r\nA|00:01");
    EXPECT_EQ(w.InfoTrack[1]->Caption(), QStringLiteral("00:02"));
    // What cannot be found says where it was looked for, and what the palette says.
    EXPECT_EQ(w.InfoTrack[2]->ToolTipText(),
              "Fichier introuvable : " + rig.path("D/Absent.wav") + " (D:\\Absent.wav)");
    w.Touche_Click(0);
    w.Touche_Click(1);
    EXPECT_EQ(rig.onAir(), "AB");
    const std::vector<float> out = rig.render(4096);
    EXPECT_GT(std::count_if(out.begin(), out.end(), [](float v) { return v != 0.0f; }), 4000);

    // The palette holds the Windows paths still, byte for byte.
    EXPECT_EQ(w.Player[0]->FileName(), QStringLiteral("C:\\JINGLES\\générique.wav"));
    w.MnuSauverBank_Click();
    EXPECT_EQ(rig.read("Windows.Bnk"), windows);
}

TEST_F(Palettes, NewSaveAndDeleteFollowTheOperatorsAnswers) {
    // No name yet: asked as for a new palette, and the slots are saved as
    // they are, never emptied.
    assign(2, wav("c.wav", 2000));
    dialogs.inputAnswers = {QStringLiteral("   "), QStringLiteral("Essai")};
    w.MnuSauverBank_Click();
    EXPECT_EQ(dialogs.last(),
              "InputBox | 0 | Nouvelle palette | Entrez le nom de la nouvelle palette");
    EXPECT_FALSE(QFile::exists(path(".Bnk")));
    w.MnuSauverBank_Click();
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Essai.Bnk"));
    EXPECT_EQ(shows(2), "c\r\n\r\nC|00:02");
    EXPECT_TRUE(read("Essai.Bnk").startsWith("\r\n\r\n" + path("c.wav").toUtf8()));
    EXPECT_EQ(w.ComboBank->Text(), QStringLiteral("Essai.Bnk"));
    dialogs.inputAnswers = {QStringLiteral("   "), QString()};
    w.MnuNewBank_Click();
    w.MnuNewBank_Click();
    EXPECT_EQ(w.BankName->Caption(),
              QStringLiteral("Essai.Bnk"));  // blanks or Cancel change nothing

    assign(4, wav("e.wav", 2000));
    w.Slider[4]->setValue(5000);
    dialogs.inputAnswers = {QStringLiteral("Matin")};
    w.MnuNewBank_Click();
    EXPECT_EQ(dialogs.last(),
              "InputBox | 0 | Nouvelle palette | Entrez le nom de la nouvelle palette");
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(shows(4), "E|--:--");
    EXPECT_EQ(w.Slider[4]->Value(), 16384);
    EXPECT_EQ(read("Matin.Bnk"), palette({}));
    EXPECT_EQ(w.ComboBank->Text(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.ComboBank->ListIndex(), 1);

    // An existing name: the question, with the path as the operator's system
    // writes it; Cancel keeps the slots and the name, and the save that
    // follows leaves the other palette alone.
    put("Soir.Bnk", "\\soir.wav\r\n");
    assign(1, wav("b.wav", 2000));
    dialogs.inputAnswers = {QStringLiteral("Soir")};
    dialogs.msgBoxAnswers = {platform::kAnswerCancel};
    w.MnuNewBank_Click();
    EXPECT_EQ(dialogs.last(), "MsgBox | 289 |  | Cette palette existe déjà\r\n" +
                                  dir.file("Soir.Bnk") + "\r\nEcraser ?");
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral("Matin.Bnk"));
    EXPECT_EQ(w.Touche[1]->Caption(), QStringLiteral("b\r\n\r\nB"));
    w.MnuSauverBank_Click();
    EXPECT_EQ(read("Soir.Bnk"), "\\soir.wav\r\n");
    EXPECT_TRUE(read("Matin.Bnk").contains("b.wav"));

    dialogs.inputAnswers = {QStringLiteral(" Matin.Bnk ")};
    w.MnuNewBank_Click();
    EXPECT_EQ(w.BankName->Caption(), QStringLiteral(" Matin.Bnk .Bnk"));  // blanks kept

    // Delete asks with the full path; No keeps the file, Yes deletes even a read-only one.
    w.ComboBank->setText(QStringLiteral("Matin.Bnk"));
    dialogs.msgBoxAnswers = {platform::kAnswerNo};
    w.Supprimer_Click();
    EXPECT_EQ(dialogs.last(), "MsgBox | 276 | Suppression | " + dir.file("Matin.Bnk"));
    ASSERT_EQ(chmod(dir.file("Matin.Bnk").c_str(), 0444), 0);
    dialogs.msgBoxAnswers = {platform::kAnswerYes};
    w.Supprimer_Click();
    EXPECT_FALSE(QFile::exists(path("Matin.Bnk")));
    EXPECT_EQ(w.ComboBank->ListCount(), 3);
    EXPECT_EQ(w.ComboBank->ListIndex(), -1);
    const size_t count = dialogs.asked.size();
    w.Supprimer_Click();  // nothing selected: nothing asked
    EXPECT_EQ(dialogs.asked.size(), count);
}

TEST_F(Palettes, UnsafeNamesAndFailedSavesLeaveSlotsNameAndPaletteAsTheyWere) {
    assign(0, wav("a.wav", 1000));
    for (const QString& name :
         {QStringLiteral("../Soir"), QStringLiteral("a/b"), QStringLiteral("a\\b"),
          QStringLiteral("Tab\tulé"), QString(300, u'x'), QStringLiteral(".cache")}) {
        dialogs.inputAnswers = {name};
        w.MnuNewBank_Click();
        EXPECT_TRUE(asked().text.startsWith(QStringLiteral("Nom de palette refusé")))
            << name.toStdString();
        EXPECT_TRUE(w.BankName->Caption().isEmpty());
        EXPECT_EQ(w.Touche[0]->Caption(), QStringLiteral("a\r\n\r\nA"));
    }
    EXPECT_EQ(w.ComboBank->ListCount(), 0);
    // The last, a name that would be a hidden file, says why.
    EXPECT_EQ(asked().text, QStringLiteral("Nom de palette refusé : .cache.Bnk\r\nUn nom de "
                                           "palette ne peut pas commencer par un point."));

    dialogs.inputAnswers = {QStringLiteral("Soir")};
    w.MnuNewBank_Click();
    const QByteArray before = read("Soir.Bnk");
    ASSERT_FALSE(before.isEmpty());
    assign(1, wav("b.wav", 1000));
    ASSERT_EQ(chmod(dir.file("Soir.Bnk").c_str(), 0444), 0);
    w.MnuSauverBank_Click();
    EXPECT_EQ(asked().text, "Permission refusée\r\n" + path("Soir.Bnk"));
    EXPECT_EQ(read("Soir.Bnk"), before);
}

// Files dragged from a file manager into the window, then over slot `slot`
// and dropped there unless `only` says to stop at the drag's entry or move.
bool drop(F1a& w, int16_t slot, const QStringList& files, QEvent::Type only = QEvent::Drop) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& file : files) urls << QUrl::fromLocalFile(file);
    mime.setUrls(urls);
    const QPoint at = w.Touche[slot]->widget()->geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.client(), &enter);
    if (!enter.isAccepted() || only == QEvent::DragEnter) return enter.isAccepted();
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.client(), &move);
    if (!move.isAccepted() || only == QEvent::DragMove) return move.isAccepted();
    QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.client(), &dropped);
    return dropped.isAccepted();
}

TEST_F(Palettes, DroppedFilesFillSilentSlotsFromThePointerOnAndNeverTouchOneOnAir) {
    assign(1, wav("b.wav", 3000));
    w.Touche_Click(1);
    const QString c = wav("c.wav", 3000), d = wav("d.wav", 2000), f = wav("f.wav", 4000);
    EXPECT_TRUE(drop(w, 0, {c}));
    EXPECT_EQ(shows(0), "c\r\n\r\nA|00:03");
    EXPECT_EQ(dialogs.asked.size(), 1u);  // B's choice only

    // Over what slot 0 held, past B on air, a text file refused on its slot.
    EXPECT_TRUE(drop(w, 0, {d, path("notes.txt"), f}));
    EXPECT_EQ(shows(0), "d\r\n\r\nA|00:02");
    EXPECT_EQ(w.Player[1]->FileName(), path("b.wav"));
    EXPECT_EQ(onAir(), "B");
    EXPECT_EQ(w.InfoTrack[2]->Caption(), QStringLiteral("refusé"));
    EXPECT_EQ(w.InfoTrack[2]->ToolTipText(),
              QStringLiteral("Fichier non pris en charge : notes.txt"));
    EXPECT_TRUE(w.Player[2]->FileName().isEmpty());
    EXPECT_EQ(shows(3), "f\r\n\r\nD|00:04");

    // Over the sounding slot: the drag may go on, the drop is not taken.
    EXPECT_TRUE(drop(w, 1, {c}, QEvent::DragEnter));
    EXPECT_FALSE(drop(w, 1, {c}, QEvent::DragMove));
    EXPECT_EQ(w.Player[1]->FileName(), path("b.wav"));
    // Past the last slot, the rest is left out.
    EXPECT_TRUE(drop(w, 27, {c, d}));
    EXPECT_EQ(w.Player[27]->FileName(), c);
    EXPECT_EQ(w.messageStrip->Caption(),
              QStringLiteral("Plus de touche libre : fichiers déposés en trop ignorés"));

    // Locked: refused from the drag's entry on.
    w.MnuVerrou_Click();
    EXPECT_FALSE(drop(w, 4, {c}, QEvent::DragEnter));
    w.dropFiles(4, {QUrl::fromLocalFile(c)});
    EXPECT_TRUE(w.Player[4]->FileName().isEmpty());
    w.MnuVerrou_Click();

    // Saved as the file dialog's choices are.
    dialogs.inputAnswers = {QStringLiteral("Déposée")};
    w.MnuSauverBank_Click();
    EXPECT_TRUE(
        read("Déposée.Bnk").startsWith((d + "\r\n" + path("b.wav") + "\r\n\r\n" + f).toUtf8()));
}

TEST_F(Palettes, ClearingASlotAndChoosingALineColour) {
    assign(4, wav("e.wav", 3000));
    w.Touche_Click(4);
    w.InfoTrack_DblClick(4);  // on air: refused
    EXPECT_EQ(w.Touche[4]->Caption(), QStringLiteral("e\r\n\r\nE"));
    w.Touche_Click(4);
    w.Slider[4]->setValue(7000);
    w.Boucle_Click(4);
    w.InfoTrack_DblClick(4);
    EXPECT_EQ(shows(4), "|E");
    EXPECT_TRUE(w.Player[4]->FileName().isEmpty());
    // Put back with its volume and loop, once.
    w.Boucle_Click(4);
    w.Slider[4]->setValue(16384);
    w.undoClear();
    EXPECT_EQ(shows(4), "e\r\n\r\nE|00:03");
    EXPECT_EQ(w.Slider[4]->Value(), 7000);
    EXPECT_EQ(loops(), "E");
    EXPECT_EQ(w.messageStrip->Caption(), QStringLiteral("Touche E remise : e"));
    w.undoClear();  // once only: nothing more to say
    EXPECT_EQ(w.messageStrip->Caption(), QStringLiteral("Touche E remise : e"));
    w.InfoTrack_DblClick(4);
    assign(4, wav("g.wav", 2000));  // given another file since: it stays
    w.undoClear();
    EXPECT_EQ(w.Player[4]->FileName(), path("g.wav"));
    EXPECT_EQ(w.messageStrip->Caption(),
              QStringLiteral("Touche E : reprise depuis, rien n'est remis"));
    w.InfoTrack_DblClick(4);
    w.InfoTrack_DblClick(4);  // an empty slot cleared again keeps what can come back
    w.undoClear();
    EXPECT_EQ(w.Player[4]->FileName(), path("g.wav"));

    assign(5, wav("f.wav", 3000));
    w.Touche_Click(5);
    const int32_t green = platform::rgb(0, 255, 0);
    dialogs.colorAnswers = {green, std::nullopt};
    w.Couleur_Click(1);
    w.Couleur_Click(1);  // cancelled
    EXPECT_EQ(w.Couleur[1]->BackColor(), green);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.Touche[4]->BackColor(), green);
    EXPECT_EQ(w.Touche[6]->BackColor(), green);
    EXPECT_EQ(w.Touche[5]->BackColor(), platform::QBColor(platform::kQBRed));  // playing: stays red
    EXPECT_EQ(w.Touche[8]->BackColor(), w.Couleur[2]->BackColor());
}

}  // namespace
}  // namespace tambrel::app
