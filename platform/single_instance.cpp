#include "platform/single_instance.h"

#include <algorithm>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include "platform/file_system.h"
#include "platform/report.h"

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

QString canonicalFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(folder).absolutePath()) : canonical;
}
}  // namespace

SingleInstance::SingleInstance(const QString& folder)
    : folder_(canonicalFolder(folder)),
      serverName_(baseName(folder_ + u'/' + QString::fromLatin1(kLockName))) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::heldElsewhere(const QString& path, bool& taken) {
    lock_ = std::make_unique<QLockFile>(path);
    // The lock lives as long as the program, so age says nothing; only a
    // dead owner makes it stale.
    lock_->setStaleLockTime(0);
    // The socket is named after the lock, so every copy that meets this lock
    // finds the same socket.
    serverName_ = baseName(path);
    taken = lock_->tryLock(0);
    return !taken && lock_->error() == QLockFile::LockFailedError;
}

bool SingleInstance::anotherRunning() {
    if (lock_ && lock_->isLocked()) return false;
    bool taken = false;
    if (heldElsewhere(folder_ + u'/' + QString::fromLatin1(kLockName), taken)) return true;
    if (!taken) {
        const QString cache =
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
            QStringLiteral("/tambrel");
        report(QStringLiteral("le verrou d'une seule copie ne peut pas être pris dans %1 ; il "
                              "l'est dans %2, pour une seule copie par utilisateur")
                   .arg(folder_, cache));
        QDir().mkpath(cache);
        if (heldElsewhere(cache + u'/' + baseName(folder_) + QStringLiteral(".lock"), taken)) {
            return true;
        }
        if (!taken) {
            // Better to run twice than not at all.
            report("ni là : rien n'empêche une autre copie de tourner");
            return false;
        }
    }
    listen();
    return false;
}

void SingleInstance::listen() {
    // In the abstract namespace: the same for every copy whatever its
    // temporary folder, and gone with its process, crashed or not.
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::AbstractNamespaceOption);
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
        report(QStringLiteral("la copie qui tourne ne peut pas être appelée (%1)")
                   .arg(server_->errorString()));
    }
}

bool SingleInstance::activateRunning(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
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

QString SingleInstance::programFolder() {
    return operatorFolder(QCoreApplication::applicationDirPath());
}

}  // namespace tambrel::platform
