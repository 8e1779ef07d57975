#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "platform/path_form.h"

namespace tambrel::platform {
namespace {

mode_t defaultMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

}  // namespace

QString describeError(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
            return QStringLiteral("Fichier introuvable");
        case EACCES:
        case EPERM:
        case EROFS:
            return QStringLiteral("Permission refusée");
        case ENOSPC:
        case EDQUOT:
            return QStringLiteral("Disque plein");
        case EFBIG:
            return QStringLiteral("Fichier trop volumineux");
        case ENAMETOOLONG:
            return QStringLiteral("Nom de fichier trop long");
        case EISDIR:
            return QStringLiteral("C'est un dossier, pas un fichier");
        case EIO:
            return QStringLiteral("Erreur d'entrée/sortie");
        default:
            return QStringLiteral("Erreur d'accès au fichier (%1)")
                .arg(QString::fromLocal8Bit(std::strerror(errorNumber)));
    }
}

bool FileExists(const QString& systemPath) {
    const QString trimmed = systemPath.trimmed();
    if (trimmed.isEmpty()) return false;
    const QFileInfo info(toNativePath(trimmed));
    return info.exists() && info.isFile() && !info.isHidden();
}

bool readFileBytes(const QString& nativePath, QByteArray& bytes, QString& error, qint64 limit) {
    const QByteArray name = QFile::encodeName(nativePath);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = describeError(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = describeError(S_ISDIR(st.st_mode) ? EISDIR : EIO);
        ::close(fd);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (bytes.size() < limit) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = describeError(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    if (bytes.size() > limit) bytes.truncate(limit);
    return true;
}

bool writeFileAtomically(const QString& nativePath, const QByteArray& bytes, QString& error) {
    const QByteArray target = QFile::encodeName(nativePath);
    struct stat existing {};
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        error = describeError(EISDIR);
        return false;
    }
    if (exists && (existing.st_mode & S_IWUSR) == 0) {
        error = describeError(EACCES);  // a read-only file stays as it is
        return false;
    }

    const QFileInfo info(nativePath);
    QByteArray temporary =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = describeError(errno);
        return false;
    }
    const mode_t mode = exists ? (existing.st_mode & 07777) : defaultMode();
    const bool written = writeAll(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        error = describeError(written ? errno : writeError);
        ::unlink(temporary.constData());
        return false;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        error = describeError(errno);
        ::unlink(temporary.constData());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(QFile::encodeName(info.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

bool folderTakesFiles(const QString& nativeFolder, QString& error) {
    QByteArray probe = QFile::encodeName(nativeFolder);
    if (!probe.endsWith('/')) probe += '/';
    probe += ".Tambrel-essai.XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        error = describeError(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

bool deleteFile(const QString& nativePath, QString& error) {
    const QByteArray name = QFile::encodeName(nativePath);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0)
        ::chmod(name.constData(), (st.st_mode & 07777) | S_IWUSR);
    if (::unlink(name.constData()) != 0) {
        error = describeError(errno);
        return false;
    }
    return true;
}

bool installedFromPackage(const QString& exeFolder) {
    return QFileInfo::exists(QDir(exeFolder).filePath(QLatin1String(kPackageMarker)));
}

QString operatorFolder(const QString& exeFolder) {
    const QString folder =
        installedFromPackage(exeFolder)
            ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                  QStringLiteral("/tambrel")
            : exeFolder;
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

}  // namespace tambrel::platform
