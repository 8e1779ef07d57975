#include "platform/desktop_shortcut.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/file_system.h"

namespace tambrel::platform {

QString desktopFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QFileInfo(folder).isDir() ? folder : QString();
}

QString execArgument(const QString& text) {
    static const QString kPlain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@");
    bool plain = !text.isEmpty();
    for (const QChar c : text) plain = plain && (kPlain.contains(c) || c.unicode() > 127);
    if (plain) return text;
    // Inside quotes, " ` $ and \ take a backslash; the entry's own escaping
    // then doubles every backslash.
    QString quoted;
    for (const QChar c : text) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    return u'"' + quoted + u'"';
}

bool createDesktopShortcut(const QString& linkName, const QString& target, const QString& arguments,
                           const QString& icon) {
    const QString folder = desktopFolder();
    if (folder.isEmpty()) return false;
    QString exec = execArgument(target);
    if (!arguments.isEmpty()) exec += u' ' + arguments;
    // Newlines would end a field early; no name or path of ours should hold one.
    const auto field = [](QString value) {
        return value.replace(u'\n', u' ').replace(u'\r', u' ');
    };
    QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nVersion=1.0\n");
    entry += QStringLiteral("Name=") + field(linkName) + u'\n';
    entry += QStringLiteral("Comment=Palette de jingles pour le direct\n");
    entry += QStringLiteral("Exec=") + field(exec) + u'\n';
    entry += QStringLiteral("Path=") + field(QFileInfo(target).absolutePath()) + u'\n';
    if (QFileInfo(icon).isFile()) entry += QStringLiteral("Icon=") + field(icon) + u'\n';
    entry += QStringLiteral("Terminal=false\nCategories=AudioVideo;Audio;\n");

    const QString path = QDir(folder).filePath(linkName + QStringLiteral(".desktop"));
    QString error;
    if (!writeFileAtomically(path, entry.toUtf8(), error)) return false;
    // Desktops start only launchers marked executable.
    return ::chmod(QFile::encodeName(path).constData(), 0755) == 0;
}

}  // namespace tambrel::platform
