// The real program: a later start hands its argument to the running instance and ends, and
// SIGTERM ends it the normal way, with everything written.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <csignal>
#include <filesystem>

#include "Process.h"
#include "TempDir.h"
#include "common/SenderList.h"
#include "forms/ErrorReport.h"
#include "forms/Startup.h"
#include "forms/main.h"
#include "platform/InstanceChannel.h"
#include "platform/InstanceServer.h"

using namespace testing_support;

namespace {

void PumpQt() { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        env = {{"XDG_RUNTIME_DIR", runtime.path()},
               {"QT_QPA_PLATFORM", "offscreen"},
               {"XDG_CONFIG_HOME", runtime.file("config")}};
    }

    // A copy of the program alone in a folder of its own.
    std::string installCopy(const TempDir& dir, const std::string& name) {
        const std::string exe = dir.file(name);
        CopyExecutable(QUORVEL_EXE, exe);
        return exe;
    }

    TempDir runtime;
    std::map<std::string, std::string> env;
};

}  // namespace

TEST_F(StartupTest, LaterStartHandsOverItsArgumentAndEndsTouchingNothing) {
    // The first instance runs here, wired the way the program wires it.
    const std::string instanceDir = platform::InstanceDirectory();
    auto lock = platform::InstanceLock::TryAcquire(instanceDir);
    ASSERT_TRUE(lock);
    platform::InstanceServer server;
    ASSERT_TRUE(server.listen(instanceDir));
    TempDir firstDir;
    SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
    auto form = std::make_unique<TQuorvelForm>(firstDir.file("Quorvel"));
    ConnectHandOff(server, *form);
    form->edRecipient->setText("typed");
    form->show();
    form->hide();  // sitting in the notification area

    TempDir secondDir;
    const std::string second = installCopy(secondDir, "Quorvel");
    struct Case {
        std::vector<std::string> args;
        const char* recipient;
    } cases[] = {
        {{"PC7"}, "PC7"},
        {{}, "PC7"},                                   // no argument: the field stays
        {{"Иван Петров", "extra"}, "Иван Петров"},    // one argument, blanks kept
    };
    for (const Case& c : cases) {
        QElapsedTimer timer;
        timer.start();
        pid_t pid = Spawn(second, c.args, env);
        EXPECT_EQ(WaitExit(pid, 5000, PumpQt), 0);
        const qint64 ms = timer.elapsed();
        EXPECT_LT(ms, 1000) << "hand-off took " << ms << " ms";
        PumpQt();
        EXPECT_EQ(form->edRecipient->text(), QString::fromUtf8(c.recipient));
        EXPECT_TRUE(form->isVisible());
    }
    EXPECT_EQ(FilesIn(secondDir.path()), std::vector<std::string>{"Quorvel"});
    form.reset();
    SetErrorReportHandler({});
}

TEST_F(StartupTest, TerminationSignalWritesEverySettingInSectionOrder) {
    for (const char* name : {"Quorvel", "post"}) {
        TempDir dir;
        const std::string exe = installCopy(dir, name);
        pid_t pid = Spawn(exe, {}, env);
        ASSERT_TRUE(WaitForFile(platform::InstanceSocketPath(runtime.file("quorvel")), 5000));
        kill(pid, SIGTERM);
        ASSERT_EQ(WaitExit(pid, 10000), 0);
        const std::string ini = ReadFileBytes(dir.file(std::string(name) + ".ini"));
        const std::string expected =
            "[Sender]\r\nSender1=" + GetUserFromWindows() + "\r\n\r\n"
            "[Defaults]\r\nDeltaClear=5\r\nMaxSender=5\r\nMaxLineLog=300\r\nMaxThreads=50\r\n"
            "RecipientFile=" + dir.file(std::string(name) + ".dat") + "\r\n\r\n"
            "[Window Position]\r\nTop=0\r\nLeft=0\r\nWidth=404\r\nHeight=492\r\n\r\n"
            "[Window State]\r\nWindowState=0\r\n";
        EXPECT_EQ(ini, expected) << name;
        std::filesystem::remove(platform::InstanceSocketPath(runtime.file("quorvel")));
    }
}

TEST_F(StartupTest, WithoutADisplayTheProgramSaysHowToStartIt) {
    TempDir dir;
    const std::string exe = installCopy(dir, "Quorvel");
    auto bare = env;
    bare["QT_QPA_PLATFORM"] = "";
    bare["DISPLAY"] = "";
    bare["WAYLAND_DISPLAY"] = "";
    pid_t pid = Spawn(exe, {}, bare);
    EXPECT_EQ(WaitExit(pid, 5000), 2);
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"Quorvel"});
}
