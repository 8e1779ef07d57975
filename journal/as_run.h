#pragma once

// The as-run log's lines: one per play, written when it ends, in the day's
// file "Journal/AAAA-MM-JJ.csv" (the local date on which the play started).
// The files are what a spreadsheet opens as it is: UTF-8 with a byte-order
// mark, fields separated by ";", lines ended by CR LF, a field holding ";",
// '"' or a line break quoted as CSV does. A field a spreadsheet would take
// for a formula (it starts with "=", "+", "-", "@", a tab or a carriage
// return) is written quoted with an apostrophe in front, which the common
// spreadsheets read as "this is text".

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace tambrel::journal {

// New ways of ending go last: a record read back names them by their words.
enum class EndReason {
    EndOfFile,
    Key,
    Remote,
    OutputChange,
    OutputLost,
    ProgramEnd,
    Interrupted,
    Fade,     // faded out by Maj with its letter or a click
    StopAll,  // Échap faded or cut everything
};
inline constexpr EndReason kLastEndReason = EndReason::StopAll;

// The "Fin par" column: "fin du fichier", "touche", "télécommande"...
QString endReasonText(EndReason reason);

struct Play {
    QDateTime start;  // local time the first frame was handed to the device
    QDateTime end;    // and the last
    QString key;      // the slot's letter, A to Z, "[" or "\"
    QString palette;  // the loaded palette's name, empty if none
    QString file;     // the path as the palette holds it
    QString title;    // the slot's short name
    int64_t fileMs = 0;
    int64_t airedMs = 0;  // the frames that sounded, every lap of a loop counted
    int64_t laps = 0;     // how many times a loop started it again
    EndReason endedBy = EndReason::EndOfFile;
    QString output;  // the device's name as the output list shows it
    uint64_t dropouts = 0;
};

// The first line of every file, after the byte-order mark, CR LF included.
QByteArray headerLine();
// One play's line, CR LF included.
QByteArray playLine(const Play& play);
// A field as it goes into a line.
QByteArray csvField(const QString& text);
// The line that stands in a day's file for `plays` plays that could not be
// written down, the first started at `first` and the last ended at `last`.
QByteArray unloggedLine(uint64_t plays, const QDateTime& first, const QDateTime& last);

// "AAAA-MM-JJ.csv" for the day the play started on.
QString dayFileName(const QDateTime& start);

// The records of lines written by playLine, each without its line end, cut
// as a CSV reader does: a quoted field may hold a line break.
QList<QByteArray> csvRecords(const QByteArray& bytes);
// The play a record holds; none unless the record reads back exactly as
// playLine writes that play, so a damaged record is never taken for one. Its
// times are the clock's figures as written, with no time zone (Qt::UTC).
std::optional<Play> readPlayLine(const QByteArray& record);

}  // namespace tambrel::journal
