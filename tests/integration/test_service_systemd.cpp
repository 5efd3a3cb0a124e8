// Service control through a systemd user instance: a private dbus-daemon with a small stand-in
// for systemd's manager, and systemd's private socket served by the same stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServer>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMetaObject>
#include <QMutex>
#include <QThread>
#include <filesystem>
#include <optional>

#include "Process.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/SystemdServices.h"

using platform::ServiceAccess;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

const QString kUnitPath =
    QStringLiteral("/org/freedesktop/systemd1/unit/quorvel_2dmessenger_2eservice");

// What the stand-in says about quorvel-messenger.service, and the calls it got.
struct UnitState {
    QString loadState = QStringLiteral("loaded");
    QString activeState = QStringLiteral("inactive");
    bool denyLoad = false;
    bool failJobs = false;
};

// Answers LoadUnit, StartUnit and StopUnit of the manager and the Get of the manager's Version
// and the unit's LoadState and ActiveState. Lives in a thread of its own: the code under test
// blocks the main thread while it waits for the answer.
class FakeSystemd : public QDBusVirtualObject {
public:
    void set(const UnitState& state) {
        QMutexLocker lock(&mutex_);
        state_ = state;
        calls_.clear();
    }
    QStringList calls() const {
        QMutexLocker lock(&mutex_);
        return calls_;
    }
    QString activeState() const {
        QMutexLocker lock(&mutex_);
        return state_.activeState;
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QMutexLocker lock(&mutex_);
        QStringList args;
        for (const QVariant& a : message.arguments()) args << a.toString();
        calls_ << message.member() + u'(' + args.join(u',') + u')';
        connection.send(Answer(message));
        return true;
    }

private:
    QDBusMessage Answer(const QDBusMessage& m) {
        const QList<QVariant> a = m.arguments();
        const QString unit = QStringLiteral("quorvel-messenger.service");
        if (m.interface() == QLatin1String("org.freedesktop.systemd1.Manager")) {
            if (m.member() == QLatin1String("LoadUnit")) {
                if (state_.denyLoad)
                    return m.createErrorReply(
                        QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                        QStringLiteral("denied"));
                return m.createReply(QVariant::fromValue(QDBusObjectPath(kUnitPath)));
            }
            const bool start = m.member() == QLatin1String("StartUnit");
            if ((start || m.member() == QLatin1String("StopUnit")) && a.value(0) == unit) {
                if (state_.failJobs)
                    return m.createErrorReply(QStringLiteral("org.freedesktop.systemd1.UnitMasked"),
                                              QStringLiteral("refused"));
                state_.activeState = start ? QStringLiteral("active") : QStringLiteral("inactive");
                return m.createReply(QVariant::fromValue(
                    QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/7"))));
            }
        }
        if (m.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
            m.member() == QLatin1String("Get")) {
            const QString key = a.value(0).toString() + u'.' + a.value(1).toString();
            std::optional<QString> value;
            if (m.path() == QLatin1String("/org/freedesktop/systemd1") &&
                key == QLatin1String("org.freedesktop.systemd1.Manager.Version"))
                value = QStringLiteral("252");
            if (m.path() == kUnitPath &&
                key == QLatin1String("org.freedesktop.systemd1.Unit.LoadState"))
                value = state_.loadState;
            if (m.path() == kUnitPath &&
                key == QLatin1String("org.freedesktop.systemd1.Unit.ActiveState"))
                value = state_.activeState;
            if (value) return m.createReply(QVariant::fromValue(QDBusVariant(*value)));
        }
        return m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                  m.member());
    }

    mutable QMutex mutex_;
    UnitState state_;
    QStringList calls_;
};

class SystemdControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(run);
        chmod(run.c_str(), 0700);
        const std::string config = dir.file("bus.conf");
        testing_support::WriteFileBytes(
            config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:path=" +
                run +
                "/bus</listen>"
                "<auth>EXTERNAL</auth><policy context=\"default\">"
                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                "<allow own=\"*\"/></policy></busconfig>\n");
        daemon =
            testing_support::Spawn("/usr/bin/dbus-daemon", {"--config-file=" + config, "--nofork"});
        ASSERT_TRUE(testing_support::WaitForFile(run + "/bus", 10000));
        thread.start();
        fake.moveToThread(&thread);
    }
    void TearDown() override {
        if (registered) {
            QMetaObject::invokeMethod(
                &fake,
                [] {
                    QDBusConnection(QStringLiteral("fake-systemd"))
                        .unregisterObject(QStringLiteral("/org/freedesktop/systemd1"),
                                          QDBusConnection::UnregisterTree);
                    QDBusConnection::disconnectFromBus(QStringLiteral("fake-systemd"));
                },
                Qt::BlockingQueuedConnection);
        }
        thread.quit();
        thread.wait();
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            testing_support::WaitExit(daemon, 5000);
        }
    }

    // The stand-in takes systemd's name on the private bus.
    // (From the stand-in's thread, which QtDBus wants for registering it.)
    void RegisterOnBus() {
        bool ok = false;
        QMetaObject::invokeMethod(
            &fake,
            [&] {
                QDBusConnection bus = QDBusConnection::connectToBus(
                    QStringLiteral("unix:path=") + QString::fromStdString(run) +
                        QStringLiteral("/bus"),
                    QStringLiteral("fake-systemd"));
                ok = bus.isConnected() &&
                     bus.registerVirtualObject(QStringLiteral("/org/freedesktop/systemd1"), &fake,
                                               QDBusConnection::SubPath) &&
                     bus.registerService(QStringLiteral("org.freedesktop.systemd1"));
            },
            Qt::BlockingQueuedConnection);
        registered = true;
        ASSERT_TRUE(ok);
    }

    TempDir dir;
    const std::string run = dir.file("run");
    ScopedEnv runtime{"XDG_RUNTIME_DIR", run};
    ScopedEnv busAddress{"DBUS_SESSION_BUS_ADDRESS", nullptr};
    pid_t daemon = -1;
    QThread thread;
    FakeSystemd fake;
    bool registered = false;
};

TEST_F(SystemdControlTest, OutcomesFollowTheUnitsState) {
    RegisterOnBus();
    const QString load = QStringLiteral("LoadUnit(quorvel-messenger.service)");
    const QString start = QStringLiteral("StartUnit(quorvel-messenger.service,replace)");
    const QString stop = QStringLiteral("StopUnit(quorvel-messenger.service,replace)");
    struct Case {
        const char* loadState;
        const char* activeState;
        bool denyLoad;
        bool failJobs;
        ServiceAccess access;
        bool opens;
        bool accepted;
        QString job;  // the job asked for; empty when none may be
        const char* activeAfter;
    };
    const Case cases[] = {
        {"loaded", "inactive", false, false, ServiceAccess::Start, true, true, start, "active"},
        {"loaded", "active", false, false, ServiceAccess::Start, true, false, {}, "active"},
        {"loaded", "activating", false, false, ServiceAccess::Start, true, false, {}, "activating"},
        {"loaded", "failed", false, false, ServiceAccess::Start, true, true, start, "active"},
        {"loaded", "active", false, false, ServiceAccess::Stop, true, true, stop, "inactive"},
        {"loaded", "inactive", false, false, ServiceAccess::Stop, true, false, {}, "inactive"},
        {"loaded", "failed", false, false, ServiceAccess::Stop, true, false, {}, "failed"},
        {"loaded", "inactive", false, true, ServiceAccess::Start, true, false, start, "inactive"},
        {"loaded", "active", false, true, ServiceAccess::Stop, true, false, stop, "active"},
        {"not-found", "inactive", false, false, ServiceAccess::Start, false, false, {}, "inactive"},
        {"masked", "inactive", false, false, ServiceAccess::Start, false, false, {}, "inactive"},
        {"loaded", "active", true, false, ServiceAccess::Stop, false, false, {}, "active"},
        {"loaded", "inactive", true, false, ServiceAccess::Start, false, false, {}, "inactive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.loadState << "/" << c.activeState << (c.denyLoad ? " denied" : "")
                     << (c.failJobs ? " failing" : "")
                     << (c.access == ServiceAccess::Start ? " start" : " stop"));
        fake.set({QString::fromLatin1(c.loadState), QString::fromLatin1(c.activeState), c.denyLoad,
                  c.failJobs});
        auto manager = platform::OpenSystemdServiceManager();
        ASSERT_NE(manager, nullptr);
        auto service = manager->OpenService(platform::kMessengerServiceName, c.access);
        EXPECT_EQ(service != nullptr, c.opens);
        if (service) {
            const bool accepted =
                c.access == ServiceAccess::Start ? service->Start() : service->Stop();
            EXPECT_EQ(accepted, c.accepted);
        }
        const QStringList calls = fake.calls();
        EXPECT_TRUE(calls.contains(load)) << calls.join(u' ').toStdString();
        EXPECT_EQ(calls.contains(start) || calls.contains(stop), !c.job.isEmpty())
            << calls.join(u' ').toStdString();
        if (!c.job.isEmpty()) {
            EXPECT_TRUE(calls.contains(c.job)) << calls.join(u' ').toStdString();
        }
        EXPECT_EQ(fake.activeState(), QString::fromLatin1(c.activeAfter));
    }
}

TEST_F(SystemdControlTest, SessionBusAddressIsFoundFirst) {
    RegisterOnBus();
    // The bus named by the variable, while the runtime folder has no bus socket.
    const std::string address = "unix:path=" + run + "/bus";
    const std::string elsewhere = dir.file("elsewhere");
    std::filesystem::create_directory(elsewhere);
    chmod(elsewhere.c_str(), 0700);
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", elsewhere);
    fake.set({});
    auto manager = platform::OpenServiceManager();
    ASSERT_NE(manager, nullptr);
    auto service = manager->OpenService(platform::kMessengerServiceName, ServiceAccess::Start);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(service->Start());
    EXPECT_TRUE(
        fake.calls().contains(QStringLiteral("StartUnit(quorvel-messenger.service,replace)")));
}

TEST_F(SystemdControlTest, WithoutSystemdOnTheBusControlIsDirect) {
    // A bus, but nobody owns systemd's name on it.
    EXPECT_EQ(platform::OpenSystemdServiceManager(), nullptr);
    // Direct control then; without a runtime folder that cannot be opened either.
    EXPECT_NE(platform::OpenServiceManager(), nullptr);
    const std::string address = "unix:path=" + run + "/bus";
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(platform::OpenServiceManager(), nullptr);
}

TEST_F(SystemdControlTest, PrivateSocketIsUsedWithoutABus) {
    kill(daemon, SIGTERM);
    testing_support::WaitExit(daemon, 5000);
    daemon = -1;
    std::filesystem::remove(run + "/bus");
    std::filesystem::create_directory(run + "/systemd");
    // systemd's private socket: a peer-to-peer server, each connection served by the stand-in.
    QDBusServer* server = nullptr;
    QMetaObject::invokeMethod(
        &fake,
        [&] {
            server = new QDBusServer(QStringLiteral("unix:path=") + QString::fromStdString(run) +
                                     QStringLiteral("/systemd/private"));
            server->setAnonymousAuthenticationAllowed(false);
            QObject::connect(server, &QDBusServer::newConnection, &fake,
                             [this](const QDBusConnection& peer) {
                                 QDBusConnection(peer).registerVirtualObject(
                                     QStringLiteral("/org/freedesktop/systemd1"), &fake,
                                     QDBusConnection::SubPath);
                             });
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(server->isConnected());
    fake.set({QStringLiteral("loaded"), QStringLiteral("active"), false, false});
    {
        auto manager = platform::OpenServiceManager();
        ASSERT_NE(manager, nullptr);
        auto service = manager->OpenService(platform::kMessengerServiceName, ServiceAccess::Stop);
        ASSERT_NE(service, nullptr);
        EXPECT_TRUE(service->Stop());
        EXPECT_TRUE(
            fake.calls().contains(QStringLiteral("StopUnit(quorvel-messenger.service,replace)")));
    }
    QMetaObject::invokeMethod(
        &fake, [server] { delete server; }, Qt::BlockingQueuedConnection);
}

}  // namespace
