#include "messenger/Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QVariantMap>

namespace messenger {

namespace {

QString FromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

QString NotificationSummary(const Message& message) {
    return QString("Сообщение от %1").arg(FromUtf8(message.from));
}

QString NotificationBody(const Message& message) {
    return FromUtf8(message.text).toHtmlEscaped();
}

void Notify(const Message& message) {
    const QString summary = NotificationSummary(message);
    const QString body = NotificationBody(message);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "Notify");
        call << QString("Quorvel") << 0u << QString("quorvel") << summary << body << QStringList()
             << QVariantMap() << -1;
        // Not waited for: the answer (or its absence) changes nothing.
        bus.send(call);
        return;
    }
    const QString tool = QStandardPaths::findExecutable("notify-send");
    if (!tool.isEmpty()) QProcess::startDetached(tool, {"--app-name=Quorvel", "--", summary, body});
}

}  // namespace messenger
