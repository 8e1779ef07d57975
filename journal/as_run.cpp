#include "journal/as_run.h"

#include <QStringList>
#include <algorithm>
#include <array>

namespace tambrel::journal {
namespace {
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
constexpr size_t kColumns = 12;
using Fields = std::array<QString, kColumns>;

// Text a spreadsheet would take for a formula, past any apostrophes: those
// are counted in so that reading takes off exactly the apostrophe writing
// put in front, and a title that starts with one keeps it.
bool looksLikeFormula(const QString& text) {
    const auto first = std::find_if(text.begin(), text.end(), [](QChar c) { return c != u'\''; });
    if (first == text.end()) return false;
    const char16_t c = first->unicode();
    return c == u'=' || c == u'+' || c == u'-' || c == u'@' || c == u'\t' || c == u'\r';
}

// A time as written, read without a time zone: the writer's thread never
// looks the zone up (see JournalWriter), and a time that a change of hour
// makes ambiguous still reads back as it was written.
QDateTime wallClock(const QString& text) {
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss.zzz"));
    if (!date.isValid() || !time.isValid()) return {};
    return QDateTime(date, time, Qt::UTC);
}

QByteArray joinLine(const Fields& fields) {
    QByteArray line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ';';
        line += csvField(fields[i]);
    }
    return line + "\r\n";
}

// A record's fields, quotes and apostrophes taken off; none when its quoting
// is not what csvField writes.
std::optional<QStringList> splitFields(const QByteArray& record) {
    QStringList fields;
    qsizetype i = 0;
    for (;;) {
        QByteArray field;
        if (i < record.size() && record[i] == '"') {
            for (++i;; ++i) {
                if (i >= record.size()) return std::nullopt;
                if (record[i] != '"') {
                    field += record[i];
                } else if (i + 1 < record.size() && record[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
        } else {
            const qsizetype next = record.indexOf(';', i);
            field = record.mid(i, (next < 0 ? record.size() : next) - i);
            i += field.size();
        }
        QString text = QString::fromUtf8(field);
        if (text.startsWith(u'\'') && looksLikeFormula(text)) text.remove(0, 1);
        fields << text;
        if (i == record.size()) return fields;
        if (record[i] != ';') return std::nullopt;
        ++i;
    }
}
}  // namespace

QString endReasonText(EndReason reason) {
    switch (reason) {
        case EndReason::EndOfFile:
            return QStringLiteral("fin du fichier");
        case EndReason::Key:
            return QStringLiteral("touche");
        case EndReason::Remote:
            return QStringLiteral("télécommande");
        case EndReason::OutputChange:
            return QStringLiteral("changement de sortie");
        case EndReason::OutputLost:
            return QStringLiteral("sortie perdue");
        case EndReason::ProgramEnd:
            return QStringLiteral("fin du programme");
        case EndReason::Interrupted:
            return QStringLiteral("interrompu");
        case EndReason::Fade:
            return QStringLiteral("fondu");
        case EndReason::StopAll:
            return QStringLiteral("tout arrêter");
    }
    return {};
}

QByteArray headerLine() {
    return QStringLiteral(
               "Début;Fin;Touche;Palette;Fichier;Titre;Durée fichier (ms);Durée diffusée (ms);"
               "Boucles;Fin par;Sortie;Coupures\r\n")
        .toUtf8();
}

QByteArray csvField(const QString& text) {
    const bool formula = looksLikeFormula(text);
    QByteArray bytes = (formula ? QStringLiteral("'") + text : text).toUtf8();
    if (!formula && !bytes.contains(';') && !bytes.contains('"') && !bytes.contains('\n') &&
        !bytes.contains('\r')) {
        return bytes;
    }
    bytes.replace('"', "\"\"");
    return '"' + bytes + '"';
}

QByteArray playLine(const Play& play) {
    return joinLine({
        play.start.toString(kTimeFormat),
        play.end.toString(kTimeFormat),
        play.key,
        play.palette,
        play.file,
        play.title,
        QString::number(play.fileMs),
        QString::number(play.airedMs),
        QString::number(play.laps),
        endReasonText(play.endedBy),
        play.output,
        QString::number(play.dropouts),
    });
}

QByteArray unloggedLine(uint64_t plays, const QDateTime& first, const QDateTime& last) {
    Fields fields;
    fields[0] = first.toString(kTimeFormat);
    fields[1] = last.toString(kTimeFormat);
    fields[5] = plays == 1 ? QStringLiteral("1 diffusion non journalisée")
                           : QStringLiteral("%1 diffusions non journalisées").arg(plays);
    return joinLine(fields);
}

QString dayFileName(const QDateTime& start) {
    return start.date().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv");
}

QList<QByteArray> csvRecords(const QByteArray& bytes) {
    QList<QByteArray> records;
    bool quoted = false;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= bytes.size(); ++i) {
        const bool end = i == bytes.size();
        if (!end && bytes[i] == '"') quoted = !quoted;
        if (!end && (quoted || bytes[i] != '\n')) continue;
        QByteArray record = bytes.mid(from, i - from);
        if (record.endsWith('\n')) record.chop(1);  // the last, its quote never closed
        if (record.endsWith('\r')) record.chop(1);
        if (!record.isEmpty()) records.push_back(record);
        from = i + 1;
    }
    return records;
}

std::optional<Play> readPlayLine(const QByteArray& record) {
    const std::optional<QStringList> fields = splitFields(record);
    if (!fields || static_cast<size_t>(fields->size()) != kColumns) return std::nullopt;
    const QStringList& f = *fields;
    Play play;
    play.start = wallClock(f[0]);
    play.end = wallClock(f[1]);
    play.key = f[2];
    play.palette = f[3];
    play.file = f[4];
    play.title = f[5];
    play.fileMs = f[6].toLongLong();
    play.airedMs = f[7].toLongLong();
    play.laps = f[8].toLongLong();
    for (int r = 0; r <= int(kLastEndReason); ++r) {
        if (endReasonText(EndReason(r)) == f[9]) play.endedBy = EndReason(r);
    }
    play.output = f[10];
    play.dropouts = f[11].toULongLong();
    // Whatever did not parse (a date, a number, an ending) reads back otherwise.
    if (!play.start.isValid() || !play.end.isValid() || playLine(play) != record + "\r\n") {
        return std::nullopt;
    }
    return play;
}

}  // namespace tambrel::journal
