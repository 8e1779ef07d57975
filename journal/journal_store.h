#pragma once

// The as-run log's folder on disk, as the log's writing thread uses it. A
// day's file only grows by whole lines: a line torn by a crash or a full
// disk is taken off before the next is added, so a CSV reader never meets
// half a line. The plays still sounding are kept aside ("en-cours.csv",
// replaced whole about once a second) as the lines they would give if cut
// there; the next start puts them in their days' files as "interrompu", and
// whatever in that record cannot be read as such a play in "illisible.csv".
// An append holds the file's lock (flock), waiting a moment at most for a
// program that holds it.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <map>

#include <unistd.h>

namespace tambrel::journal {

class JournalStore {
  public:
    static constexpr const char* kInProgressName = "en-cours.csv";
    static constexpr const char* kUnreadableName = "illisible.csv";

    // Puts a file's data on the disk before an append is said done (a line
    // said written must survive a power cut); fdatasync, or a test's own.
    using Sync = int (*)(int fd);

    // `folder`: the log's folder, native, ending in "/"; made when needed.
    explicit JournalStore(QString folder, Sync sync = ::fdatasync)
        : folder_(std::move(folder)), sync_(sync) {}

    const QString& folder() const { return folder_; }
    QString pathOf(const QString& fileName) const { return folder_ + fileName; }

    // Each returns the reason it failed (in French), or the empty text.
    // Adds whole lines to the day's file, which starts with the byte-order
    // mark and the header; on a failure the file is left as it was.
    QString append(const QString& fileName, const QByteArray& lines);
    // Replaces the record of the plays sounding now (none: it is removed).
    QString keepInProgress(const QByteArray& lines);
    // Moves the plays a crash interrupted to their days' files; after a
    // failure, the next call goes on where it stopped. `now`: the
    // local time; a play said to start before the system clock's epoch, or
    // more than a day after `now` (the record was written before this start),
    // is not believed.
    QString recover(const QDateTime& now);

  private:
    QString makeFolder();

    QString folder_;
    Sync sync_;
    bool recoveryRead_ = false;
    std::map<QString, QByteArray> recovering_;  // by file, read but not written yet
};

}  // namespace tambrel::journal
