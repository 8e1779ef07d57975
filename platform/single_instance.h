#pragma once

// One running copy of the program per program folder, whatever the user or
// the temporary folder it was started with: the palettes, the settings and
// the as-run log live in that folder, and two copies would write over each
// other. The first copy holds a lock file in the folder and listens on a
// local socket named after it; a later copy finds the lock held and asks the
// first, through the socket, to come to the front. A first copy that crashed
// leaves a stale lock that the next start takes over at once.

#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

namespace tambrel::platform {

class SingleInstance {
  public:
    static constexpr const char* kLockName = ".Tambrel.lock";

    // `folder`: the program's folder. Where no lock can be made there (a
    // folder the user may not write), the lock is taken in the user's cache
    // folder instead, one copy per user, and standard error says so.
    explicit SingleInstance(const QString& folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another copy runs. Otherwise this copy becomes the one that
    // runs: it takes the lock and starts listening for activation requests.
    bool anotherRunning();

    // From a later copy: asks the running copy to bring its window to the
    // front. False when it cannot be reached within `timeoutMs`.
    bool activateRunning(int timeoutMs = 1000);

    // In the running copy: called on the window's thread for each request.
    std::function<void()> onActivate;

    // The folder of the operator's files: one copy runs on each. Not the
    // package's own folder, which root could write and dpkg must find empty.
    static QString programFolder();

  private:
    // Takes the lock at `path`: true when another copy holds it.
    bool heldElsewhere(const QString& path, bool& taken);
    void listen();

    QString folder_;
    QString serverName_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace tambrel::platform
