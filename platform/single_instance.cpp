#include "platform/single_instance.h"

#include <unistd.h>

#include <algorithm>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

namespace tambrel::platform {
namespace {
const QByteArray kActivate = "activate\n";
// A peer that sends more than this without a line end is not one of ours.
constexpr qint64 kMaxRequest = 64;

QString baseName(const QString& key) {
    // Hashed so that any key makes a short, safe file and socket name.
    return QStringLiteral("tambrel-") +
           QString::fromLatin1(
               QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
}
}  // namespace

SingleInstance::SingleInstance(const QString& key)
    : key_(key),
      serverName_(baseName(key)),
      lock_(std::make_unique<QLockFile>(QDir::tempPath() + u'/' + serverName_ +
                                        QStringLiteral(".lock"))) {
    // The lock lives as long as the program, so age says nothing; only a
    // dead owner makes it stale.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::anotherRunning() {
    if (lock_->isLocked()) return false;
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError) return true;
        // Better to run twice than not at all when the temp folder is unusable.
        qWarning("SingleInstance: cannot create %ls", qUtf16Printable(QDir::tempPath()));
        return false;
    }

    // Holding the lock, any socket file left is a crashed copy's.
    QLocalServer::removeServer(serverName_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer* server = server_.get();
    QObject::connect(server, &QLocalServer::newConnection, server, [this, server] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            auto serve = [this, socket] {
                if (socket->canReadLine()) {
                    const bool asked = socket->readLine(kMaxRequest + 1) == kActivate;
                    socket->disconnectFromServer();
                    socket->deleteLater();
                    if (asked && onActivate) onActivate();
                } else if (socket->bytesAvailable() > kMaxRequest) {
                    socket->abort();
                    socket->deleteLater();
                }
            };
            QObject::connect(socket, &QLocalSocket::readyRead, socket, serve);
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // The request may have come with the connection.
            serve();
        }
    });
    if (!server_->listen(serverName_)) {
        qWarning("SingleInstance: cannot listen on %ls: %ls", qUtf16Printable(serverName_),
                 qUtf16Printable(server_->errorString()));
    }
    return false;
}

bool SingleInstance::activateRunning(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The running copy takes the lock a moment before it listens; a copy
    // started at the same time may find the lock but not yet the socket.
    for (;;) {
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(int(deadline.remainingTime()))) break;
        if (deadline.hasExpired()) return false;
        const qint64 left = deadline.remainingTime();
        QThread::msleep(left < 0 ? 20 : std::min<qint64>(20, left));
    }
    socket.write(kActivate);
    bool sent = true;
    while (sent && socket.bytesToWrite() > 0) {
        sent = socket.waitForBytesWritten(int(deadline.remainingTime()));
    }
    socket.disconnectFromServer();
    return sent;
}

QString SingleInstance::programKey() {
    const QString path = QCoreApplication::applicationFilePath();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return (canonical.isEmpty() ? path : canonical) + u':' + QString::number(getuid());
}

}  // namespace tambrel::platform
