#pragma once

// A file list bound to a folder and a pattern, never shown: the names of the
// matching files of its folder, matched and sorted without regard to case.
// The folder is listed, and its files read, on a thread of its own
// (platform/folder_worker.h): a folder on a share never holds the window.
// A listing that differs from the last, and pointing the list at another
// folder, raise PathChange; the folder's answers to the files asked of it
// come through Done, on the window's thread.

#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/folder_worker.h"

namespace tambrel::platform {

class FileListBox {
  public:
    FileListBox();
    ~FileListBox();
    FileListBox(const FileListBox&) = delete;
    FileListBox& operator=(const FileListBox&) = delete;

    // The folder in the system's form ("\" separators).
    QString Path() const { return path_; }
    void setPath(const QString& systemPath);
    QString Pattern() const { return pattern_; }
    void setPattern(const QString& pattern);

    int32_t ListCount() const { return static_cast<int32_t>(names_.size()); }
    QString List(int32_t index) const { return names_.value(index); }
    // Lists the folder again now; the names come a moment later.
    void Refresh();

    // The folder's thread, for reading, writing and deleting its files;
    // null before a path is set. Hand a ticket to Run.
    FolderWorker* Folder() { return folder_.get(); }
    // Waits up to Wait for the job `ticket`, its answer (and any before it)
    // coming through Done meanwhile; without a wait, at a later turn.
    void Run(uint64_t ticket);
    // How long Refresh and Run may wait for the folder: none in the program,
    // whose window goes on and takes the answer later; tests wait.
    std::chrono::milliseconds Wait{0};

    std::function<void()> PathChange;
    std::function<void(const FolderWorker::Done&)> Done;

  private:
    void poll();
    void restart();

    QString path_;
    QString pattern_ = QStringLiteral("*.*");
    QStringList names_;
    std::unique_ptr<FolderWorker> folder_;
    QTimer timer_;
};

}  // namespace tambrel::platform
