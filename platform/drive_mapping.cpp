#include "platform/drive_mapping.h"

#include <QStringList>
#include <algorithm>

#include "platform/case_lookup.h"
#include "platform/path_form.h"
#include "platform/text_file.h"

namespace tambrel::platform {
namespace {

bool isDriveLetter(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Windows takes "/" as a separator too.
QString windowsForm(QString path) {
    path.replace(u'/', u'\\');
    return path;
}

bool isDrivePath(const QString& path) {
    return path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':' &&
           (path.size() == 2 || path[2] == u'\\');
}

bool isSharePath(const QString& path) {
    return path.size() > 2 && path.startsWith(QStringLiteral("\\\\")) && path[2] != u'\\';
}

// `folder` followed by the components of a Windows path's rest.
QString under(const QString& folder, const QString& rest) {
    QString native = folder;
    for (const QString& part : rest.split(u'\\', Qt::SkipEmptyParts)) {
        if (!native.endsWith(u'/')) native += u'/';
        native += part;
    }
    return native;
}

}  // namespace

bool isWindowsPath(const QString& systemPath) {
    if (systemPath.startsWith(u'/')) return false;  // a Linux path
    const QString path = windowsForm(systemPath);
    return isDrivePath(path) || isSharePath(path);
}

DriveMapping::DriveMapping(const QString& programFolder) : programFolder_(programFolder) {
    while (programFolder_.size() > 1 && programFolder_.endsWith(u'/')) programFolder_.chop(1);
}

std::vector<DriveMapping::BadLine> DriveMapping::read(const QByteArray& bytes) {
    std::vector<BadLine> bad;
    TextReader reader(bytes);
    QString text;
    for (int number = 1; reader.readLine(text); ++number) {
        const QString line = text.trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype equals = line.indexOf(u'=');
        QString prefix = windowsForm(line.left(std::max<qsizetype>(equals, 0)).trimmed());
        QString folder = line.mid(equals + 1).trimmed();
        if (equals < 0 || !(isDrivePath(prefix) || isSharePath(prefix)) ||
            !folder.startsWith(u'/')) {
            bad.push_back({number, text});
            continue;
        }
        while (prefix.endsWith(u'\\')) prefix.chop(1);
        while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
        lines_.push_back({prefix, folder});
    }
    // Longest first; of two equal prefixes the earlier line is met first.
    std::stable_sort(lines_.begin(), lines_.end(), [](const Line& a, const Line& b) {
        return a.prefix.size() > b.prefix.size();
    });
    return bad;
}

QString DriveMapping::toNative(const QString& systemPath) const {
    if (!isWindowsPath(systemPath)) {
        if (systemPath.isEmpty() || systemPath.startsWith(u'/') || systemPath.startsWith(u'\\')) {
            return toNativePath(systemPath);
        }
        // Typed by hand, relative: from the palettes' folder, where the
        // Windows program was started.
        QString native = systemPath;
        native.replace(u'\\', u'/');
        return programFolder_.isEmpty() ? native : programFolder_ + u'/' + native;
    }
    const QString path = windowsForm(systemPath);
    for (const Line& line : lines_) {
        if (path.startsWith(line.prefix, Qt::CaseInsensitive) &&
            (path.size() == line.prefix.size() || path[line.prefix.size()] == u'\\')) {
            return under(line.folder, path.mid(line.prefix.size()));
        }
    }
    if (isDrivePath(path) && !programFolder_.isEmpty()) {
        return under(programFolder_ + u'/' + path[0], path.mid(2));
    }
    return toNativePath(systemPath);
}

QByteArray DriveMapping::locate(const QString& systemPath) const {
    const QString native = toNative(systemPath);
    QByteArray found = findIgnoringCase(native);
    if (nameTaken(found)) return found;
    // A "\" in a native name is a separator too when the file is not there
    // as written: a path typed on both systems.
    QString other = native;
    other.replace(u'\\', u'/');
    if (other == native) return found;
    QByteArray otherFound = findIgnoringCase(other);
    return nameTaken(otherFound) ? otherFound : found;
}

}  // namespace tambrel::platform
