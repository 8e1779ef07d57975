#include "journal/journal_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include "journal/as_run.h"
#include "platform/file_system.h"

namespace tambrel::journal {
namespace {
constexpr off_t kTailBytes = 64 * 1024;  // far more than any line
// How long an append waits for another program's lock on the file.
constexpr int kLockTries = 20;
constexpr auto kLockPause = std::chrono::milliseconds(50);

bool lockWithin(int fd) {
    for (int tries = 0;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || ++tries == kLockTries) return false;
        std::this_thread::sleep_for(kLockPause);
    }
}

// Where the file's whole lines end: after its last line break. A file whose
// last line is torn has it taken off; one too long to look back over is
// left whole, and the torn line ended instead.
off_t wholeLinesEnd(int fd, off_t size, bool& endLine) {
    endLine = false;
    const off_t from = std::max<off_t>(0, size - kTailBytes);
    QByteArray tail(static_cast<qsizetype>(size - from), '\0');
    if (::pread(fd, tail.data(), static_cast<size_t>(tail.size()), from) != tail.size()) {
        return size;
    }
    if (tail.endsWith('\n')) return size;
    const qsizetype lastBreak = tail.lastIndexOf('\n');
    if (lastBreak >= 0) return from + lastBreak + 1;
    if (from == 0) return 0;  // not one whole line: the header is written again
    endLine = true;
    return size;
}

bool writeAllAt(int fd, const QByteArray& bytes, off_t at) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::pwrite(fd, bytes.constData() + done,
                                       static_cast<size_t>(bytes.size() - done), at + done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += wrote;
    }
    return true;
}
}  // namespace

QString JournalStore::makeFolder() {
    const QByteArray path = QFile::encodeName(folder_);
    if (::mkdir(path.constData(), 0777) == 0 || errno == EEXIST) return {};
    return platform::describeError(errno);
}

QString JournalStore::append(const QString& fileName, const QByteArray& lines) {
    if (QString failure = makeFolder(); !failure.isEmpty()) return failure;
    const int fd =
        ::open(QFile::encodeName(pathOf(fileName)).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return platform::describeError(errno);
    if (!lockWithin(fd)) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? QStringLiteral("Fichier tenu par un autre programme")
                                    : platform::describeError(error);
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    bool endLine = false;
    const off_t keep = size > 0 ? wholeLinesEnd(fd, size, endLine) : 0;
    QByteArray out;
    if (keep == 0) out = "\xEF\xBB\xBF" + headerLine();
    if (endLine) out += "\r\n";
    out += lines;
    // A write cut short by a full disk is taken back, so the file keeps
    // whole lines only.
    const bool written =
        (keep == size || ::ftruncate(fd, keep) == 0) && writeAllAt(fd, out, keep) && sync_(fd) == 0;
    const int error = errno;
    if (!written && ::ftruncate(fd, keep) != 0) {
        // Nothing more can be done about it here; the next append looks again.
    }
    ::close(fd);  // and the lock with it
    return written ? QString() : platform::describeError(error);
}

QString JournalStore::keepInProgress(const QByteArray& lines) {
    const QString path = pathOf(QString::fromLatin1(kInProgressName));
    if (lines.isEmpty()) {
        if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT) return {};
        return platform::describeError(errno);
    }
    if (QString failure = makeFolder(); !failure.isEmpty()) return failure;
    QString failure;
    platform::writeFileAtomically(path, lines, failure);
    return failure;
}

QString JournalStore::recover(const QDateTime& now) {
    const QString path = pathOf(QString::fromLatin1(kInProgressName));
    if (!recoveryRead_) {
        if (!QFile::exists(path)) return {};
        QByteArray bytes;
        QString failure;
        if (!platform::readFileBytes(path, bytes, failure)) return failure;
        // Nothing is dropped: what cannot be read as a play is set aside as it is.
        // Compared as the clock's figures, as the records are read.
        const QDateTime latest = QDateTime(now.date(), now.time(), Qt::UTC).addDays(1);
        for (const QByteArray& record : csvRecords(bytes)) {
            const std::optional<Play> play = readPlayLine(record);
            const bool believed = play && play->start.date().year() >= 1970 &&
                                  play->start <= latest && play->end >= play->start;
            recovering_[believed ? dayFileName(play->start)
                                 : QString::fromLatin1(kUnreadableName)] += record + "\r\n";
        }
        recoveryRead_ = true;
    }
    // Tried again, it goes on from what it has: a file already written to is
    // not written to twice, even when the record could not be cut down.
    for (auto it = recovering_.begin(); it != recovering_.end(); it = recovering_.erase(it)) {
        QString failure = append(it->first, it->second);
        if (failure.isEmpty()) continue;
        QByteArray left;
        for (auto rest = it; rest != recovering_.end(); ++rest) left += rest->second;
        keepInProgress(left);  // for a crash before the next try
        return failure;
    }
    recoveryRead_ = false;
    return keepInProgress({});
}

}  // namespace tambrel::journal
