#include "journal/as_run.h"

#include <iterator>

namespace tambrel::journal {
namespace {
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
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
    QByteArray bytes = text.toUtf8();
    if (!bytes.contains(';') && !bytes.contains('"') && !bytes.contains('\n') &&
        !bytes.contains('\r')) {
        return bytes;
    }
    QByteArray quoted = bytes;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

QByteArray playLine(const Play& play) {
    const QString fields[] = {
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
    };
    QByteArray line;
    for (size_t i = 0; i < std::size(fields); ++i) {
        if (i > 0) line += ';';
        line += csvField(fields[i]);
    }
    return line + "\r\n";
}

QString dayFileName(const QDateTime& start) {
    return start.date().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv");
}

std::optional<QDateTime> lineStart(const QByteArray& line) {
    const qsizetype length = kTimeFormat.size();
    if (line.size() < length) return std::nullopt;
    const QDateTime start =
        QDateTime::fromString(QString::fromLatin1(line.left(length)), kTimeFormat);
    if (!start.isValid()) return std::nullopt;
    return start;
}

}  // namespace tambrel::journal
