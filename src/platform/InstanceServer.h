// The listening side of the instance channel (see InstanceChannel.h).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace platform {

class InstanceServer : public QObject {
    Q_OBJECT
public:
    explicit InstanceServer(QObject* parent = nullptr);
    // Listens in the given instance folder. Call only while holding the instance lock: a
    // socket file left behind by a crashed instance is removed first.
    bool listen(const std::string& dir, QString* error = nullptr);

signals:
    // One well-formed hand-off: the text's bytes (Windows-1251), possibly empty.
    void handOff(const QByteArray& ansiText);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);

    QLocalServer* server_;
};

}  // namespace platform
