#include <sys/stat.h>

#include <QAtomicInteger>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <cstdlib>

#include "platform/SystemdServices.h"

namespace platform {

namespace {

// systemd answers at once (a start or stop only queues a job), so a long wait means trouble.
constexpr int kCallTimeoutMs = 5000;

const QString kSystemdName = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A value in a D-Bus address: bytes outside the always-safe set go as %XX.
QString EscapeAddressValue(const QByteArray& bytes) {
    QString out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*')
            out += QChar(c);
        else
            out += QStringLiteral("%%%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return out;
}

bool IsSocket(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// One connection of ours to the bus or to systemd itself, closed with the last handle.
class TConnection {
public:
    TConnection(const QString& address, bool peer) : peer_(peer) {
        static QAtomicInteger<int> counter;
        name_ = QStringLiteral("quorvel-service-control-%1").arg(counter.fetchAndAddRelaxed(1));
        connection_ = peer ? QDBusConnection::connectToPeer(address, name_)
                           : QDBusConnection::connectToBus(address, name_);
    }
    ~TConnection() {
        if (peer_)
            QDBusConnection::disconnectFromPeer(name_);
        else
            QDBusConnection::disconnectFromBus(name_);
    }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    bool connected() const { return connection_.isConnected(); }

    // The reply, or an error message (also when nothing answered in time).
    QDBusMessage Call(const QString& path, const QString& interface, const QString& method,
                      const QList<QVariant>& args) const {
        // A peer connection talks to systemd itself, which takes no destination.
        QDBusMessage call = QDBusMessage::createMethodCall(peer_ ? QString() : kSystemdName, path,
                                                           interface, method);
        call.setArguments(args);
        return connection_.call(call, QDBus::Block, kCallTimeoutMs);
    }

    // A string property, or an empty string when it cannot be read.
    QString Property(const QString& path, const QString& interface, const QString& name) const {
        const QDBusMessage reply =
            Call(path, kPropertiesInterface, QStringLiteral("Get"), {interface, name});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
        return reply.arguments().first().value<QDBusVariant>().variant().toString();
    }

private:
    QString name_;
    bool peer_;
    QDBusConnection connection_{QString()};
};

class TSystemdService : public TServiceHandle {
public:
    TSystemdService(ServiceAccess access, std::shared_ptr<TConnection> connection, QString unitPath)
        : TServiceHandle(access),
          connection_(std::move(connection)),
          unitPath_(std::move(unitPath)) {}

protected:
    bool DoStop() override {
        static const QStringList stopped = {QStringLiteral("inactive"), QStringLiteral("failed"),
                                            QStringLiteral("deactivating")};
        return Job(QStringLiteral("StopUnit"), stopped);
    }
    bool DoStart() override {
        static const QStringList running = {QStringLiteral("active"), QStringLiteral("activating"),
                                            QStringLiteral("reloading")};
        return Job(QStringLiteral("StartUnit"), running);
    }

private:
    // Refused when the unit is already where the job would take it.
    bool Job(const QString& method, const QStringList& refusedStates) {
        const QString state =
            connection_->Property(unitPath_, kUnitInterface, QStringLiteral("ActiveState"));
        if (state.isEmpty() || refusedStates.contains(state)) return false;
        const QDBusMessage reply =
            connection_->Call(kManagerPath, kManagerInterface, method,
                              {QString::fromLatin1(kMessengerUnit), QStringLiteral("replace")});
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    std::shared_ptr<TConnection> connection_;
    QString unitPath_;
};

class TSystemdServiceManager : public TServiceManager {
public:
    explicit TSystemdServiceManager(std::shared_ptr<TConnection> connection)
        : connection_(std::move(connection)) {}

    std::unique_ptr<TServiceHandle> OpenService(const std::string& name,
                                                ServiceAccess access) override {
        if (name != kMessengerServiceName) return nullptr;
        // LoadUnit, unlike GetUnit, also finds a unit that nothing has loaded yet.
        const QDBusMessage reply =
            connection_->Call(kManagerPath, kManagerInterface, QStringLiteral("LoadUnit"),
                              {QString::fromLatin1(kMessengerUnit)});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return nullptr;
        const QString path = reply.arguments().first().value<QDBusObjectPath>().path();
        if (path.isEmpty()) return nullptr;
        if (connection_->Property(path, kUnitInterface, QStringLiteral("LoadState")) !=
            QLatin1String("loaded"))
            return nullptr;
        return std::make_unique<TSystemdService>(access, connection_, path);
    }

private:
    std::shared_ptr<TConnection> connection_;
};

std::shared_ptr<TConnection> ConnectToSystemd(const QString& address, bool peer) {
    auto connection = std::make_shared<TConnection>(address, peer);
    if (!connection->connected()) return nullptr;
    // Anything that answers for the manager's version is systemd.
    if (connection->Property(kManagerPath, kManagerInterface, QStringLiteral("Version")).isEmpty())
        return nullptr;
    return connection;
}

}  // namespace

std::unique_ptr<TServiceManager> OpenSystemdServiceManager() {
    const char* runtimeEnv = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtime = runtimeEnv && *runtimeEnv ? runtimeEnv : "";
    struct Candidate {
        QString address;
        bool peer;
    };
    std::vector<Candidate> candidates;
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"); bus && *bus)
        candidates.push_back({QString::fromUtf8(bus), false});
    else if (!runtime.empty() && IsSocket(runtime + "/bus"))
        candidates.push_back({QStringLiteral("unix:path=") +
                                  EscapeAddressValue(QByteArray::fromStdString(runtime + "/bus")),
                              false});
    if (!runtime.empty() && IsSocket(runtime + "/systemd/private"))
        candidates.push_back(
            {QStringLiteral("unix:path=") +
                 EscapeAddressValue(QByteArray::fromStdString(runtime + "/systemd/private")),
             true});
    for (const Candidate& candidate : candidates) {
        if (auto connection = ConnectToSystemd(candidate.address, candidate.peer))
            return std::make_unique<TSystemdServiceManager>(std::move(connection));
    }
    return nullptr;
}

std::unique_ptr<TServiceManager> OpenServiceManager() {
    if (auto systemd = OpenSystemdServiceManager()) return systemd;
    return OpenDirectServiceManager();
}

}  // namespace platform
