#pragma once

// One running copy of the program per executable and user. The first copy
// holds a lock file and listens on a local socket; a later copy finds the
// lock held and asks the first, through the socket, to come to the front.
// A first copy that crashed leaves a stale lock that the next start takes
// over at once.

#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

namespace tambrel::platform {

class SingleInstance {
  public:
    // `key` names the program copy (for the program: its executable path and
    // the user); every copy started with the same key is the same program.
    explicit SingleInstance(const QString& key);
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

    // The key for this program: its executable's path and the user.
    static QString programKey();

  private:
    QString key_;
    QString serverName_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace tambrel::platform
