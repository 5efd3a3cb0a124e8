#include "platform/InstanceServer.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include "platform/InstanceChannel.h"

namespace platform {

namespace {
constexpr int kHeaderSize = 8;
constexpr int kFrameTimeoutMs = 2000;
}  // namespace

InstanceServer::InstanceServer(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::onNewConnection);
}

bool InstanceServer::listen(const std::string& dir, QString* error) {
    const QString path = QString::fromStdString(InstanceSocketPath(dir));
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        if (error) *error = server_->errorString();
        return false;
    }
    return true;
}

void InstanceServer::onNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        // A peer that never completes its frame is dropped.
        QTimer::singleShot(kFrameTimeoutMs, socket, [socket] { socket->abort(); });
    }
}

void InstanceServer::onReadyRead(QLocalSocket* socket) {
    if (socket->bytesAvailable() < kHeaderSize) return;
    const QByteArray header = socket->peek(kHeaderSize);
    if (!header.startsWith(QByteArray(kHandOffMagic, sizeof kHandOffMagic))) {
        socket->abort();
        return;
    }
    const quint32 length = qFromBigEndian<quint32>(header.constData() + 4);
    if (length > kMaxHandOffBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < kHeaderSize + qint64(length)) return;
    socket->read(kHeaderSize);
    const QByteArray text = socket->read(length);
    // Ignore further input; one frame per connection.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    emit handOff(text);
    socket->write("K", 1);
    socket->flush();
    socket->disconnectFromServer();
}

}  // namespace platform
