// quorvel-messenger as a process on 127.0.0.1: messages from Samba's smbclient and from our own
// sender reach its log whole, many at once are neither lost nor doubled, idle and broken peers
// are dropped while others are served, and the pid file, exit codes, signals and a socket
// handed over behave as the service control relies on. All traffic stays on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"
#include "SambaPeer.h"
#include "TempDir.h"
#include "messenger/Message.h"
#include "messenger/PidFile.h"
#include "platform/CodePage.h"
#include "platform/LmMsg.h"
#include "platform/posix/MessengerClient.h"

extern char** environ;

using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kExe = QUORVEL_MESSENGER_EXE;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int Connect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ListenLoopback(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes or timeoutMs pass; what arrived, and whether it closed.
std::pair<std::string, bool> ReadUntilClosed(int fd, int timeoutMs) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return {got, false};
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return {got, true};
        got.append(buf, static_cast<std::size_t>(n));
    }
}

std::string Utf8(std::u16string_view s) {
    return platform::Utf16ToCodePage(s, "UTF-8");
}

platform::NET_API_STATUS Send(const std::u16string& to, const std::u16string& from,
                              const std::u16string& text) {
    return platform::NetMessageBufferSend(nullptr, to.c_str(), from.c_str(),
                                          reinterpret_cast<const unsigned char*>(text.c_str()),
                                          static_cast<std::uint32_t>(text.size() * 2));
}

// One receiver process with its own port, log and pid file.
class Receiver {
public:
    explicit Receiver(std::vector<std::string> extra = {}, std::uint16_t port = 0)
        : port_(port ? port : testing_support::FreeLoopbackPort()) {
        std::vector<std::string> args{
            "--no-window", "--listen", "127.0.0.1",  "--port", std::to_string(port_),
            "--log",       log(),      "--pid-file", pidFile()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = testing_support::Spawn(kExe, args);
        if (!WaitListening()) {
            ADD_FAILURE() << "the receiver did not start listening";
        }
        setenv("QUORVEL_MESSENGER_PORT", std::to_string(port_).c_str(), 1);
        setenv("QUORVEL_MESSENGER_TIMEOUT", "5000", 1);
    }
    ~Receiver() {
        if (pid_ > 0) Stop(SIGTERM);
        unsetenv("QUORVEL_MESSENGER_PORT");
        unsetenv("QUORVEL_MESSENGER_TIMEOUT");
    }

    // The pid appears in the pid file once the socket listens.
    bool WaitListening() {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (testing_support::ReadFileBytes(pidFile()) == std::to_string(pid_) + "\n") {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    int Stop(int sig) {
        kill(pid_, sig);
        const int rc = testing_support::WaitExit(pid_, 10000);
        pid_ = -1;
        return rc;
    }

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string log() const { return dir_.file("state/messages.log"); }
    std::string pidFile() const { return dir_.file("run/messenger.pid"); }
    const TempDir& dir() const { return dir_; }

    std::vector<messenger::Message> Records() const {
        std::vector<messenger::Message> out;
        std::istringstream in(testing_support::ReadFileBytes(log()));
        for (std::string line; std::getline(in, line);) {
            const auto m = messenger::ParseRecord(line);
            EXPECT_TRUE(m) << "not a record: " << line;
            if (m) out.push_back(*m);
        }
        return out;
    }
    // Waits until the log holds n records.
    std::vector<messenger::Message> WaitRecords(std::size_t n, int timeoutMs = 10000) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        auto records = Records();
        while (records.size() < n && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            records = Records();
        }
        return records;
    }

private:
    TempDir dir_;
    std::uint16_t port_;
    pid_t pid_ = -1;
};

// Runs a shell command line with the given environment; its exit code.
int Shell(const std::string& script, const std::map<std::string, std::string>& env) {
    const pid_t pid = testing_support::Spawn("/bin/sh", {"-c", script}, env);
    return testing_support::WaitExit(pid, 30000);
}

TEST(MessengerReceiverProcess, SmbclientMessagesArriveAsSent) {
    Receiver rx;
    const struct {
        std::string from;
        std::string text;   // what smbclient reads on its standard input
        std::string shown;  // what the log must hold
    } cases[] = {
        {"alice", "Hello, world!\nSecond line", "Hello, world!\nSecond line"},
        {"Вася", "Привет, мир!\nКак дела?", "Привет, мир!\nКак дела?"},
    };
    for (const auto& c : cases) {
        // smbclient is told the wire code page, as a Russian system's Samba would be.
        const int rc = Shell(
            "printf '%s' \"$MSG\" | smbclient -M BOB -I 127.0.0.1 -p \"$PORT\" -U \"$FROM\" -N "
            "--option='dos charset=CP866' >/dev/null 2>&1",
            {{"MSG", c.text}, {"PORT", std::to_string(rx.port())}, {"FROM", c.from}});
        EXPECT_EQ(rc, 0) << c.from;
    }
    const auto records = rx.WaitRecords(2);
    ASSERT_EQ(records.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(records[i].from, cases[i].from);
        EXPECT_EQ(records[i].to, "BOB");
        EXPECT_EQ(records[i].text, cases[i].shown);
        EXPECT_EQ(records[i].peer, "127.0.0.1");
        EXPECT_LT(std::chrono::system_clock::now() - records[i].received, 60s);
    }
}

TEST(MessengerReceiverProcess, OwnSenderCyrillicLongAndEmpty) {
    Receiver rx;
    std::u16string longText;
    for (int i = 0; longText.size() < 1000; ++i) {
        longText +=
            (i % 40 == 39) ? std::u16string(u"\r\n") : std::u16string(1, u"абвгдеёжзЮЯ"[i % 11]);
    }
    longText.resize(1000);
    if (longText.back() == u'\r') longText.back() = u'.';
    ASSERT_EQ(Send(u"127.0.0.1", u"Иван Петров", longText), platform::NERR_Success);
    ASSERT_EQ(Send(u"127.0.0.1", u"Пустое", u""), platform::NERR_Success);

    // A Cyrillic recipient needs a name nobody resolves here: the client's own delivery step.
    const std::string cp = "CP866";
    const auto wire = platform::messenger::PrepareMessage(u"Сидоров", false, u"Петя", u"Здравствуй",
                                                          cp.c_str(), "QUORVEL-TEST");
    EXPECT_EQ(platform::messenger::Deliver(Loopback(rx.port()), wire, 5000),
              platform::NERR_Success);

    const auto records = rx.WaitRecords(3);
    ASSERT_EQ(records.size(), 3u);
    std::string expected = Utf8(longText);
    for (std::size_t at; (at = expected.find("\r\n")) != std::string::npos;) expected.erase(at, 1);
    EXPECT_EQ(records[0].from, "Иван Петров");
    EXPECT_EQ(records[0].to, "127.0.0.1");
    EXPECT_EQ(records[0].text, expected);
    EXPECT_EQ(records[1].from, "Пустое");
    EXPECT_EQ(records[1].text, "");
    EXPECT_EQ(records[2].from, "Петя");
    EXPECT_EQ(records[2].to, "Сидоров");
    EXPECT_EQ(records[2].text, "Здравствуй");
}

TEST(MessengerReceiverProcess, ThousandMessagesFromFiftySendersNoneLostOrDoubled) {
    Receiver rx;
    constexpr int kSenders = 50, kEach = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([s, &failures] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = "id-" + std::to_string(s * kEach + i);
                const std::u16string text = u"Сообщение " + platform::CodePageToUtf16(id, "UTF-8");
                if (Send(u"127.0.0.1", u"Нагрузка", text) != platform::NERR_Success) ++failures;
            }
        });
    }
    for (auto& t : senders) t.join();
    EXPECT_EQ(failures.load(), 0);
    const auto records = rx.WaitRecords(kSenders * kEach);
    std::set<std::string> ids;
    for (const auto& r : records) ids.insert(r.text);
    EXPECT_EQ(records.size(), std::size_t(kSenders * kEach)) << "each message exactly once";
    EXPECT_EQ(ids.size(), std::size_t(kSenders * kEach));
    for (int n = 0; n < kSenders * kEach; ++n) {
        EXPECT_TRUE(ids.count("Сообщение id-" + std::to_string(n))) << n;
    }
}

TEST(MessengerReceiverProcess, IdleAndHalfFramePeersAreDroppedWhileOthersAreServed) {
    Receiver rx({"--timeout-ms", "600"});
    const int silent = Connect(rx.port());
    const int half = Connect(rx.port());
    const int trickle = Connect(rx.port());
    ASSERT_GE(silent, 0);
    ASSERT_GE(half, 0);
    ASSERT_GE(trickle, 0);
    const auto opened = Clock::now();
    const std::string request = platform::messenger::BuildSessionRequest("BOB", 0x03, "X");
    ASSERT_EQ(send(half, request.data(), 10, MSG_NOSIGNAL), 10);

    // Meanwhile others get through at once, several times over the timeout.
    std::thread dribble([&] {
        for (std::size_t i = 0; i < request.size() && Clock::now() - opened < 3s; ++i) {
            if (send(trickle, request.data() + i, 1, MSG_NOSIGNAL) != 1) break;
            std::this_thread::sleep_for(150ms);
        }
    });
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        EXPECT_EQ(Send(u"127.0.0.1", u"Другой", u"Текст"), platform::NERR_Success);
        EXPECT_LT(Clock::now() - t0, 500ms) << "served while idle peers wait";
        std::this_thread::sleep_for(100ms);
    }
    for (int fd : {silent, half, trickle}) {
        const auto [got, closed] = ReadUntilClosed(fd, 3000);
        EXPECT_TRUE(closed) << "dropped after the timeout";
        EXPECT_EQ(got, "") << "no answer to nothing or half a frame";
    }
    const auto waited = Clock::now() - opened;
    EXPECT_GE(waited, 550ms);
    EXPECT_LT(waited, 3s) << "a peer sending one byte at a time is dropped like a silent one";
    dribble.join();
    for (int fd : {silent, half, trickle}) close(fd);
    EXPECT_EQ(rx.WaitRecords(5).size(), 5u);
}

TEST(MessengerReceiverProcess, ConnectionsOverTheLimitAreClosedAtOnce) {
    Receiver rx({"--max-connections", "3"});
    std::vector<int> held;
    for (int i = 0; i < 3; ++i) held.push_back(Connect(rx.port()));
    std::this_thread::sleep_for(100ms);  // accepted before the next one
    const int extra = Connect(rx.port());
    ASSERT_GE(extra, 0);
    const auto t0 = Clock::now();
    const auto [got, closed] = ReadUntilClosed(extra, 2000);
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - t0, 1s);
    close(extra);
    EXPECT_NE(Send(u"127.0.0.1", u"a", u"b"), platform::NERR_Success) << "still full";
    close(held.back());
    held.pop_back();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Send(u"127.0.0.1", u"a", u"b"), platform::NERR_Success) << "room again";
    for (int fd : held) close(fd);
}

TEST(MessengerReceiverProcess, BrokenPeersAreRefusedAndTheServiceGoesOn) {
    Receiver rx;
    std::string badName = platform::messenger::BuildSessionRequest("BOB", 0x03, "X");
    badName[6] = '!';
    std::string smb2 = platform::messenger::BuildStartFrame("a", "b", 1, 1);
    smb2[4] = '\xFE';
    const struct {
        const char* what;
        std::string bytes;
        std::string answer;
    } cases[] = {
        {"malformed session request", badName, std::string("\x83\0\0\x01\x8F", 5)},
        {"unknown packet type", std::string("\x90\0\0\0", 4), ""},
        {"length over 128 KiB", std::string("\x00\x02\x00\x00", 4), ""},
        {"SMB2 frame", smb2, ""},
        {"text block without start",
         platform::messenger::BuildTextFrame(1, "x", 1, 1) + std::string("\xFF\xFF\xFF\xFF", 4),
         ""},
    };
    for (const auto& c : cases) {
        const int fd = Connect(rx.port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
        const auto [got, closed] = ReadUntilClosed(fd, 3000);
        EXPECT_TRUE(closed) << c.what;
        if (!c.answer.empty()) {
            EXPECT_EQ(got, c.answer) << c.what;
        }
        close(fd);
    }
    EXPECT_EQ(Send(u"127.0.0.1", u"После", u"всё работает"), platform::NERR_Success);
    const auto records = rx.WaitRecords(1);
    ASSERT_EQ(records.size(), 1u) << "nothing broken was stored";
    EXPECT_EQ(records[0].text, "всё работает");
}

TEST(MessengerReceiverProcess, SingleBlockMessageWithAndWithoutNegotiate) {
    Receiver rx;
    auto le16 = [](std::size_t v) {
        return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
    };
    auto frame = [&](std::uint8_t cmd, const std::string& data) {
        std::string smb("\xFFSMB", 4);
        smb.push_back(static_cast<char>(cmd));
        smb.append(27, '\0');
        smb.push_back('\0');  // WordCount
        smb += le16(data.size()) + data;
        return std::string{'\0', '\0', static_cast<char>(smb.size() >> 8),
                           static_cast<char>(smb.size() & 0xFF)} +
               smb;
    };
    const std::string text = platform::Utf16ToCodePage(u"Короткое\r\nсообщение", "CP866");
    const std::string single =
        frame(0xD0, "\x04" + platform::Utf16ToCodePage(u"Оля", "CP866") + '\0' +
                        "\x04"
                        "BOB" +
                        '\0' + "\x01" + le16(text.size()) + text);
    const std::string negotiate = frame(0x72, std::string("\x02NT LM 0.12\0", 12));
    const std::string request = platform::messenger::BuildSessionRequest("BOB", 0x03, "PC");
    for (const std::string& bytes : {request + single, request + negotiate + single}) {
        const int fd = Connect(rx.port());
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        shutdown(fd, SHUT_WR);
        const auto [got, closed] = ReadUntilClosed(fd, 3000);
        EXPECT_TRUE(closed);
        // The last reply is the one to 0xD0, with success.
        ASSERT_GE(got.size(), 39u);
        const auto tail =
            std::span(reinterpret_cast<const unsigned char*>(got.data()) + got.size() - 39, 39);
        EXPECT_EQ(platform::messenger::ParseSmbReply(tail, 0xD0).answer,
                  platform::messenger::SmbAnswer::Ok);
        close(fd);
    }
    const auto records = rx.WaitRecords(2);
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r.from, "Оля");
        EXPECT_EQ(r.text, "Короткое\nсообщение");
    }
}

TEST(MessengerReceiverProcess, PidFileExitCodesAndSignals) {
    for (const int sig : {SIGTERM, SIGINT}) {
        Receiver rx;
        EXPECT_TRUE(messenger::PidFileHeld(rx.pidFile()));
        ASSERT_EQ(Send(u"127.0.0.1", u"a", u"before the end"), platform::NERR_Success);

        // A second start on the same pid file ends with 2 and leaves the first alone; were it to
        // reach the socket it would fail to bind and end with 1.
        const pid_t second = testing_support::Spawn(
            kExe, {"--no-window", "--listen", "127.0.0.1", "--port", std::to_string(rx.port()),
                   "--log", rx.dir().file("other.log"), "--pid-file", rx.pidFile()});
        EXPECT_EQ(testing_support::WaitExit(second, 10000), 2);
        EXPECT_EQ(testing_support::ReadFileBytes(rx.pidFile()), std::to_string(rx.pid()) + "\n");

        EXPECT_EQ(rx.Stop(sig), 0) << strsignal(sig);
        EXPECT_FALSE(testing_support::FileExists(rx.pidFile())) << "removed at a clean exit";
        const auto records = rx.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].text, "before the end");
    }
}

TEST(MessengerReceiverProcess, BindFailureExitsWithOneAndLeavesNoPidFile) {
    const std::uint16_t port = testing_support::FreeLoopbackPort();
    const int taken = ListenLoopback(port);
    ASSERT_GE(taken, 0);
    TempDir dir;
    const int rc = Shell(
        "exec \"$EXE\" --no-window --listen 127.0.0.1 --port \"$PORT\" --log \"$D/m.log\" "
        "--pid-file \"$D/run/m.pid\" 2>\"$D/err\"",
        {{"EXE", kExe}, {"PORT", std::to_string(port)}, {"D", dir.path()}});
    EXPECT_EQ(rc, 1);
    EXPECT_FALSE(testing_support::FileExists(dir.file("run/m.pid")));
    const std::string err = testing_support::ReadFileBytes(dir.file("err"));
    EXPECT_NE(err.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << err;
    close(taken);

    // A stale pid file (no lock, an old pid) does not stop a start.
    testing_support::WriteFileBytes(dir.file("run/m.pid"), "999999\n");
    const pid_t pid = testing_support::Spawn(
        kExe, {"--no-window", "--listen", "127.0.0.1", "--port", std::to_string(port), "--log",
               dir.file("m.log"), "--pid-file", dir.file("run/m.pid")});
    const auto deadline = Clock::now() + 10s;
    while (testing_support::ReadFileBytes(dir.file("run/m.pid")) != std::to_string(pid) + "\n" &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(testing_support::ReadFileBytes(dir.file("run/m.pid")), std::to_string(pid) + "\n");
    kill(pid, SIGTERM);
    EXPECT_EQ(testing_support::WaitExit(pid, 10000), 0);
}

TEST(MessengerReceiverProcess, UsesTheSocketHandedOverAndRunsHeadlessWithoutDisplay) {
    const std::uint16_t port = testing_support::FreeLoopbackPort();
    const int listening = ListenLoopback(port);
    ASSERT_GE(listening, 0);
    TempDir dir;
    // LISTEN_PID must be the receiver's own pid: the shell exports its pid, then becomes it.
    // The same port is passed: binding it again would fail, so only the handed-over socket
    // can serve. No display variables and no --no-window: headless by itself.
    const std::string script =
        "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$EXE\" --listen 127.0.0.1 --port \"$PORT\" "
        "--log \"$D/m.log\" --pid-file \"$D/m.pid\"";
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.rfind("DISPLAY=", 0) == 0 || kv.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
            kv.rfind("QT_QPA_PLATFORM=", 0) == 0) {
            continue;
        }
        envStrings.push_back(kv);
    }
    envStrings.push_back("EXE=" + kExe);
    envStrings.push_back("PORT=" + std::to_string(port));
    envStrings.push_back("D=" + dir.path());
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{"/bin/sh", "-c", script};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, listening, 3);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", &files, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&files);
    close(listening);

    ASSERT_TRUE(testing_support::WaitForFile(dir.file("m.pid"), 10000));
    setenv("QUORVEL_MESSENGER_PORT", std::to_string(port).c_str(), 1);
    EXPECT_EQ(Send(u"127.0.0.1", u"Служба", u"через сокет"), platform::NERR_Success);
    unsetenv("QUORVEL_MESSENGER_PORT");
    kill(pid, SIGTERM);
    EXPECT_EQ(testing_support::WaitExit(pid, 10000), 0);
    const auto record = messenger::ParseRecord(
        testing_support::ReadFileBytes(dir.file("m.log"))
            .substr(0, testing_support::ReadFileBytes(dir.file("m.log")).find('\n')));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->text, "через сокет");
}

}  // namespace
