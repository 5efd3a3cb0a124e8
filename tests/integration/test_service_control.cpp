// Direct control of the real receiver: start, stop, the pid file's lock, what makes the manager
// or the service impossible to open, and the main window's commands on top of it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "Process.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "messenger/Message.h"
#include "platform/Services.h"

using platform::ServiceAccess;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int ListenOn(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int FreePort() {
    const int fd = ListenOn(0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// The pid in a file that some process holds locked, 0 when nobody holds it.
pid_t LockedPid(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    pid_t pid = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char buf[32] = {};
        if (read(fd, buf, sizeof buf - 1) > 0) pid = std::atoi(buf);
    }
    close(fd);
    return pid;
}

class DirectControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(run);
        chmod(run.c_str(), 0700);
        std::filesystem::create_directory(bin);
        std::filesystem::create_symlink(QUORVEL_MESSENGER_EXE, bin + "/quorvel-messenger");
    }
    void TearDown() override {
        // A receiver a failed test left behind.
        if (const pid_t pid = LockedPid(pidFile); pid > 1) kill(pid, SIGKILL);
    }

    bool Request(ServiceAccess access) {
        auto manager = platform::OpenDirectServiceManager();
        if (!manager) return false;
        auto service = manager->OpenService(platform::kMessengerServiceName, access);
        if (!service) return false;
        return access == ServiceAccess::Start ? service->Start() : service->Stop();
    }

    TempDir dir;
    const std::string run = dir.file("run");
    const std::string bin = dir.file("bin");
    const std::string pidFile = run + "/quorvel/messenger.pid";
    const int port = FreePort();
    const std::string portText = std::to_string(port);
    const std::string log = dir.file("messages.log");
    ScopedEnv runtime{"XDG_RUNTIME_DIR", run};
    ScopedEnv path{"PATH", bin};
    // What the started receiver inherits: loopback, a free port, a private log, no display.
    ScopedEnv listenAddr{"QUORVEL_MESSENGER_LISTEN", "127.0.0.1"};
    ScopedEnv listenPort{"QUORVEL_MESSENGER_PORT", portText};
    ScopedEnv logFile{"QUORVEL_MESSENGER_LOG", log};
    ScopedEnv display{"DISPLAY", nullptr};
    ScopedEnv wayland{"WAYLAND_DISPLAY", nullptr};
    ScopedEnv qpa{"QT_QPA_PLATFORM", nullptr};
    // No systemd user instance to be found: control is direct.
    ScopedEnv bus{"DBUS_SESSION_BUS_ADDRESS", nullptr};
};

TEST_F(DirectControlTest, StartAndStopAreRefusedWhenAlreadyDone) {
    ASSERT_TRUE(Request(ServiceAccess::Start));
    const pid_t pid = LockedPid(pidFile);
    ASSERT_GT(pid, 1);
    EXPECT_TRUE(Accepts(port));
    // Detached: a session of its own, stdin on /dev/null.
    EXPECT_EQ(getsid(pid), pid);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/0"), "/dev/null");

    EXPECT_FALSE(Request(ServiceAccess::Start));
    EXPECT_EQ(LockedPid(pidFile), pid);

    EXPECT_TRUE(Request(ServiceAccess::Stop));
    EXPECT_EQ(LockedPid(pidFile), 0);
    EXPECT_FALSE(Accepts(port));
    // Gone and reaped, not left a zombie of ours.
    EXPECT_NE(kill(pid, 0), 0);

    EXPECT_FALSE(Request(ServiceAccess::Stop));
    // And it starts again after a stop.
    EXPECT_TRUE(Request(ServiceAccess::Start));
    EXPECT_TRUE(Request(ServiceAccess::Stop));
}

TEST_F(DirectControlTest, LeftOverPidFileCountsAsStopped) {
    // The pid of a live process that must not be signalled, in a file nobody locks.
    const pid_t bystander = testing_support::Spawn("/bin/sleep", {"30"});
    std::filesystem::create_directory(run + "/quorvel");
    chmod((run + "/quorvel").c_str(), 0700);
    WriteFileBytes(pidFile, std::to_string(bystander) + "\n");

    EXPECT_FALSE(Request(ServiceAccess::Stop));
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the stale pid was signalled";

    EXPECT_TRUE(Request(ServiceAccess::Start));
    const pid_t pid = LockedPid(pidFile);
    EXPECT_GT(pid, 1);
    EXPECT_NE(pid, bystander);
    EXPECT_TRUE(Request(ServiceAccess::Stop));
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0);

    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
}

TEST_F(DirectControlTest, BusyPortMakesStartRefused) {
    const int busy = ListenOn(port);
    ASSERT_GE(busy, 0);
    EXPECT_FALSE(Request(ServiceAccess::Start));
    EXPECT_EQ(LockedPid(pidFile), 0);
    close(busy);
    EXPECT_TRUE(Request(ServiceAccess::Start));
    EXPECT_TRUE(Request(ServiceAccess::Stop));
}

// Runs fn as init of a new pid namespace, where a signal sent to the wrong pid (0, -1, 1)
// reaches nothing outside. Its exit code; 77 when the namespace cannot be made.
int RunInPidNamespace(const std::function<int()>& fn) {
    const pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(77);
        const pid_t inner = fork();
        if (inner == 0) _exit(fn());
        int status = 0;
        waitpid(inner, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status));
    }
    int status = 0;
    waitpid(outer, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST_F(DirectControlTest, StopRefusesPidsThatAreNotAReceiver) {
    std::filesystem::create_directory(run + "/quorvel");
    chmod((run + "/quorvel").c_str(), 0700);
    for (const char* content :
         {"0\n", "-1\n", "1\n", "", "abc\n", "12x\n", "99999999999\n", " 5\n"}) {
        SCOPED_TRACE(testing::Message() << "pid file holds '" << content << "'");
        const int rc = RunInPidNamespace([&] {
            // A bystander in our process group, which kill(0) or kill(-1) would end.
            const pid_t bystander = fork();
            if (bystander == 0) {
                pause();
                _exit(0);
            }
            WriteFileBytes(pidFile, content);
            const int fd = open(pidFile.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || flock(fd, LOCK_EX) != 0) return 3;
            const bool stopped = Request(ServiceAccess::Stop);
            usleep(50 * 1000);
            const bool bystanderAlive = waitpid(bystander, nullptr, WNOHANG) == 0;
            kill(bystander, SIGKILL);
            close(fd);
            return stopped ? 1 : bystanderAlive ? 0 : 2;
        });
        if (rc == 77) GTEST_SKIP() << "no pid namespaces here";
        EXPECT_EQ(rc, 0) << "1: accepted, 2: a process was signalled";
    }
}

TEST_F(DirectControlTest, ServiceCannotBeOpened) {
    const std::string folder = run + "/quorvel";
    struct Case {
        const char* what;
        std::function<bool()> arrange;  // false: cannot be arranged here
    };
    const Case cases[] = {
        {"no executable beside us or in PATH",
         [&] { return std::filesystem::remove(bin + "/quorvel-messenger"); }},
        {"the pid file's folder is open to others",
         [&] {
             std::filesystem::create_directory(folder);
             return chmod(folder.c_str(), 0755) == 0;
         }},
        {"the pid file's folder belongs to someone else",
         [&] {
             std::filesystem::create_directory(folder);
             chmod(folder.c_str(), 0700);
             return chown(folder.c_str(), getuid() + 1, getgid()) == 0;
         }},
        {"the pid file's folder is a link",
         [&] {
             std::filesystem::create_directory_symlink(bin, folder);
             return true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder);
        if (!std::filesystem::exists(bin + "/quorvel-messenger"))
            std::filesystem::create_symlink(QUORVEL_MESSENGER_EXE, bin + "/quorvel-messenger");
        if (!c.arrange()) {
            ADD_FAILURE() << "cannot arrange this case (not root?)";
            continue;
        }
        auto manager = platform::OpenDirectServiceManager();
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(manager->OpenService(platform::kMessengerServiceName, ServiceAccess::Start),
                  nullptr);
        EXPECT_EQ(manager->OpenService(platform::kMessengerServiceName, ServiceAccess::Stop),
                  nullptr);
    }
    // Nothing was started meanwhile.
    EXPECT_FALSE(Accepts(port));
}

TEST_F(DirectControlTest, ManagerCannotBeOpenedWithoutAPrivateRuntimeFolder) {
    const std::string file = dir.file("plain-file");
    WriteFileBytes(file, "x");
    const std::string foreign = dir.file("foreign");
    std::filesystem::create_directory(foreign);
    const bool haveForeign = chown(foreign.c_str(), getuid() + 1, getgid()) == 0;
    const std::string missing = dir.file("missing");
    {
        ScopedEnv unset("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(platform::OpenDirectServiceManager(), nullptr);
    }
    for (const std::string& value :
         {std::string(), file, missing, haveForeign ? foreign : missing}) {
        SCOPED_TRACE(value);
        ScopedEnv env("XDG_RUNTIME_DIR", value);
        EXPECT_EQ(platform::OpenDirectServiceManager(), nullptr);
    }
    EXPECT_NE(platform::OpenDirectServiceManager(), nullptr);
}

// The text of the box the action shows (closed with OK), or "(none)".
std::string BoxShownBy(TAction* action) {
    std::string shown = "(none)";
    QTimer::singleShot(0, [&shown] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text().toStdString();
            box->button(QMessageBox::Ok)->click();
        }
    });
    EXPECT_TRUE(action->Execute());
    QApplication::processEvents();  // the timer, when no box ran an event loop
    return shown;
}

TEST_F(DirectControlTest, WindowCommandsReportTheReceiversState) {
    SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
    TempDir appDir;
    {
        TQuorvelForm form(appDir.file("Quorvel"));
        EXPECT_EQ(BoxShownBy(form.actStartMessenger), "Служба сообщений - запущена");
        EXPECT_TRUE(Accepts(port));
        EXPECT_EQ(BoxShownBy(form.actStartMessenger), "Службу сообщений не удалось запустить");
        EXPECT_EQ(BoxShownBy(form.actStopMessenger), "Служба сообщений - остановлена");
        EXPECT_FALSE(Accepts(port));
        EXPECT_EQ(BoxShownBy(form.actStopMessenger), "Службу сообщений не удалось остановить");

        // No runtime folder, no manager: neither command says anything.
        ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(BoxShownBy(form.actStartMessenger), "(none)");
        EXPECT_EQ(BoxShownBy(form.actStopMessenger), "(none)");
        EXPECT_FALSE(Accepts(port));
    }
    SetErrorReportHandler({});
}

// What a user does on one machine: start the service from the menu, send to localhost from
// the window, and the message is in the receiver's log, whole and in Russian.
TEST_F(DirectControlTest, MessageFromTheWindowToLocalhostReachesTheStartedReceiver) {
    SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
    TempDir appDir;
    {
        TQuorvelForm form(appDir.file("Quorvel"));
        ASSERT_EQ(BoxShownBy(form.actStartMessenger), "Служба сообщений - запущена");
        form.edRecipient->setText(QStringLiteral("localhost"));
        form.edSender->setEditText(QStringLiteral("Иван"));
        form.mMessage->setPlainText(QStringLiteral("Привет!\nСобрание в 15:00"));
        QTest::keyClick(form.mMessage, Qt::Key_Return, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(form.lvLog->topLevelItemCount() == 1, 10000);
        EXPECT_EQ(form.lvLog->topLevelItem(0)->text(1),
                  QStringLiteral("Cообщение localhost отправлено"));

        std::vector<messenger::Message> records;
        for (int i = 0; i < 100 && records.empty(); ++i) {
            std::ifstream in(log);
            for (std::string line; std::getline(in, line);)
                if (auto m = messenger::ParseRecord(line)) records.push_back(*m);
            if (records.empty()) QTest::qWait(50);
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].from, "Иван");
        EXPECT_EQ(records[0].to, "localhost");
        EXPECT_EQ(records[0].text, "Привет!\nСобрание в 15:00");
        EXPECT_EQ(BoxShownBy(form.actStopMessenger), "Служба сообщений - остановлена");
    }
    SetErrorReportHandler({});
}

}  // namespace
