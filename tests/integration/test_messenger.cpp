// NetMessageBufferSend against a real smbd on loopback, and against scripted listeners for the
// answers smbd never gives. All traffic stays on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SambaPeer.h"
#include "platform/CodePage.h"
#include "platform/LmMsg.h"
#include "platform/posix/MessengerClient.h"

using namespace platform;
using testing_support::SambaMessage;
using testing_support::SambaOptions;
using testing_support::SambaPeer;

namespace {

using Clock = std::chrono::steady_clock;

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
};

// buflen 2n+1, as callers usually pass it.
NET_API_STATUS Send(const std::u16string& to, const std::u16string& from,
                    const std::u16string& text) {
    return NetMessageBufferSend(nullptr, to.c_str(), from.c_str(),
                                reinterpret_cast<const unsigned char*>(text.c_str()),
                                static_cast<std::uint32_t>(text.size() * 2 + 1));
}

std::string Utf8(std::u16string_view s) {
    return Utf16ToCodePage(s, "UTF-8");
}

// What smbd hands its message command. It converts CP866 to UTF-8 and CR LF to LF in the body,
// but keeps only [A-Za-z0-9] of the sender's UTF-8 bytes (and "._- " of the called name, which
// it also lower-cases), writing '_' for every other byte. So Cyrillic names can only be compared
// by the position and number of their bytes, which still shows a name arrived whole and cut
// where it should be.
std::string AsBody(std::u16string_view text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n' && !out.empty() && out.back() == '\r') out.pop_back();
        out += c;
    }
    return out;
}

std::string Masked(std::string utf8, std::string_view alsoSafe) {
    for (char& c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) && u < 0x80) && alsoSafe.find(c) == std::string_view::npos) c = '_';
    }
    return utf8;
}

std::string AsSender(std::u16string_view from) {
    return Masked(Utf8(from), "");
}

std::string AsCalledName(std::u16string_view name) {
    std::string s = Masked(Utf8(name), "._- ");
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::u16string ComputerName() {
    return CodePageToUtf16(messenger::LocalComputerName("CP866"), "CP866");
}

class MessengerSamba : public ::testing::Test {
protected:
    void SetUp() override {
        peer_ = std::make_unique<SambaPeer>();
        port_ =
            std::make_unique<ScopedEnv>("QUORVEL_MESSENGER_PORT", std::to_string(peer_->port()));
        // smbd forks a process per connection and runs the hook per message: on a loaded
        // machine, 50 at once take seconds per step. Timeouts are tested with scripted listeners.
        timeout_ = std::make_unique<ScopedEnv>("QUORVEL_MESSENGER_TIMEOUT", "30000");
    }
    void TearDown() override {
        if (peer_) {
            EXPECT_EQ(peer_->PendingMessages(), 0u) << "unexpected messages";
        }
    }

    std::unique_ptr<SambaPeer> peer_;
    std::unique_ptr<ScopedEnv> port_;
    std::unique_ptr<ScopedEnv> timeout_;
};

TEST_F(MessengerSamba, NamesAndTextArrive) {
    const struct {
        const char* what;
        std::u16string to;
        std::u16string from;
        std::u16string text;
        std::u16string calledName;  // as the receiver knows itself
    } cases[] = {
        {"ascii by address", u"127.0.0.1", u"Ivan", u"Hello,\r\nworld!", u"127.0.0.1"},
        {"cyrillic by name", u"localhost", u"Пётр Иванов",
         u"Привет! Ёлки-палки, №5.\r\nВторая строка: \"ЭЮЯ\" эюя", u"localhost"},
        {"no sender: the computer", u"localhost", u"", u"text", u"localhost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Send(c.to, c.from, c.text), NERR_Success) << peer_->Log();
        const SambaMessage m = peer_->TakeMessages(1).at(0);
        EXPECT_EQ(m.body, AsBody(c.text));
        EXPECT_EQ(m.calledName, AsCalledName(c.calledName));
        EXPECT_EQ(m.from, AsSender(c.from.empty() ? ComputerName() : c.from));
    }
}

// A Cyrillic recipient cannot be resolved to loopback here (the resolver would ask the network),
// so the message goes through the same client by address.
TEST_F(MessengerSamba, CyrillicRecipientArrivesAndLongNamesAreCut) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer_->port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto message =
        messenger::PrepareMessage(u"Бухгалтерия-второй-этаж", false, u"Иванов Пётр Сергеевич",
                                  u"Проверка", "CP866", messenger::LocalComputerName("CP866"));
    ASSERT_EQ(messenger::Deliver(address, message, 30000), NERR_Success);
    const SambaMessage m = peer_->TakeMessages(1).at(0);
    EXPECT_EQ(m.body, Utf8(u"Проверка"));
    EXPECT_EQ(m.calledName, AsCalledName(u"БУХГАЛТЕРИЯ-ВТО"));
    EXPECT_EQ(m.from, AsSender(u"Иванов Пётр Сер"));
}

TEST_F(MessengerSamba, LongCyrillicMessageArrivesWhole) {
    std::u16string text;
    const std::u16string alphabet =
        u"абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";
    for (std::size_t i = 0; text.size() < 1000; ++i) {
        text += (i % 70 == 69) ? u'\r' : alphabet[(i * 7) % alphabet.size()];
        if (text.back() == u'\r') text += u'\n';
    }
    text.resize(1000);
    ASSERT_EQ(Send(u"127.0.0.1", u"Тест", text), NERR_Success) << peer_->Log();
    EXPECT_EQ(peer_->TakeMessages(1).at(0).body, AsBody(text));
}

TEST_F(MessengerSamba, EmptyMessageArrives) {
    const unsigned char one[] = {'x'};
    ASSERT_EQ(NetMessageBufferSend(nullptr, u"127.0.0.1", u"Ivan", nullptr, 0), NERR_Success);
    ASSERT_EQ(NetMessageBufferSend(nullptr, u"127.0.0.1", u"Ivan", one, 1), NERR_Success);
    for (const SambaMessage& m : peer_->TakeMessages(2)) {
        EXPECT_EQ(m.body, "");
        EXPECT_EQ(m.from, "Ivan");
    }
}

TEST_F(MessengerSamba, FiftyThreadsAtOnceAllArrive) {
    constexpr int kThreads = 50;
    std::vector<NET_API_STATUS> results(kThreads, ~0u);
    std::vector<std::string> expected;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        const std::u16string text = u"Сообщение №" + CodePageToUtf16(std::to_string(i), "UTF-8");
        expected.push_back(AsBody(text));
        threads.emplace_back([&, i, text] {
            start.arrive_and_wait();
            results[i] = Send(u"127.0.0.1", u"Поток", text);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(results, std::vector<NET_API_STATUS>(kThreads, NERR_Success)) << peer_->Log();
    std::vector<std::string> bodies;
    for (const SambaMessage& m : peer_->TakeMessages(kThreads)) bodies.push_back(m.body);
    std::sort(bodies.begin(), bodies.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(bodies, expected);
}

TEST(MessengerSambaRefusing, ReceiversThatTakeNoMessagesSayNo) {
    const struct {
        const char* what;
        SambaOptions options;
        NET_API_STATUS status;
    } cases[] = {
        {"messaging off: ERRDOS/71", {.messaging = false}, ERROR_REQUEST_REFUSED},
        {"SMB2 only: closes the connection", {.smb2Only = true}, NERR_NetworkError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SambaPeer peer(c.options);
        ScopedEnv port("QUORVEL_MESSENGER_PORT", std::to_string(peer.port()));
        EXPECT_EQ(Send(u"127.0.0.1", u"Ivan", u"text"), c.status) << peer.Log();
        EXPECT_EQ(peer.PendingMessages(), 0u);
    }
}

// A listener on loopback that reads session packets and answers each with the next scripted
// reply (any bytes), or closes, or stays silent.
const std::string kClose = "<close>";
const std::string kSilent = "<silent>";

class ScriptedReceiver {
public:
    explicit ScriptedReceiver(std::vector<std::string> replies) : replies_(std::move(replies)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedReceiver() {
        Finish();
        close(listener_);
    }

    std::uint16_t port() const { return port_; }

    // Ends the conversation; then what was received is stable.
    void Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<std::string>& Received() const { return received_; }
    int Connections() {
        Finish();
        pollfd p{listener_, POLLIN, 0};
        return accepted_ + (poll(&p, 1, 0) > 0 ? 1 : 0);  // one still waiting to be accepted
    }

private:
    bool Wait(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    bool ReadExact(int fd, std::string& out, std::size_t n) {
        while (n > 0) {
            if (!Wait(fd)) return false;
            char buf[4096];
            const ssize_t got = recv(fd, buf, std::min(n, sizeof buf), 0);
            if (got <= 0) return false;
            out.append(buf, static_cast<std::size_t>(got));
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    void Serve() {
        if (!Wait(listener_)) return;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ++accepted_;
        for (std::size_t i = 0;; ++i) {
            std::string packet;
            if (!ReadExact(fd, packet, 4)) break;
            const std::size_t length = ((std::size_t(packet[1]) & 1) << 16) |
                                       (std::size_t(static_cast<unsigned char>(packet[2])) << 8) |
                                       static_cast<unsigned char>(packet[3]);
            if (!ReadExact(fd, packet, length)) break;
            received_.push_back(packet);
            if (i >= replies_.size() || replies_[i] == kClose) break;
            if (replies_[i] == kSilent) {
                Wait(-1);  // until the test ends
                break;
            }
            send(fd, replies_[i].data(), replies_[i].size(), MSG_NOSIGNAL);
        }
        close(fd);
    }

    std::vector<std::string> replies_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    int accepted_ = 0;
    std::vector<std::string> received_;
    std::thread thread_;
};

std::string SmbReply(std::uint8_t command, std::string status = std::string(4, '\0'),
                     std::string words = {}) {
    std::string smb = "\xFFSMB";
    smb += static_cast<char>(command);
    smb += status;
    smb += '\x80';
    smb += std::string(2 + 2 + 8 + 2 + 2 + 2 + 2 + 2, '\0');
    smb += static_cast<char>(words.size() / 2);
    smb += words;
    smb += std::string(2, '\0');
    return std::string(3, '\0') + static_cast<char>(smb.size()) + smb;
}

const std::string kPositive("\x82\0\0\0", 4);
const std::string kKeepAlive("\x85\0\0\0", 4);
const std::string kErrDos71("\x01\0\x47\0", 4);
const std::string kStartOk = SmbReply(messenger::kCmdSendStart);
const std::string kTextOk = SmbReply(messenger::kCmdSendText);
const std::string kEndOk = SmbReply(messenger::kCmdSendEnd);

std::uint16_t OurPid() {
    return static_cast<std::uint16_t>(getpid() & 0xFFFF);
}

TEST(MessengerScripted, RepliesMapToResults) {
    using namespace messenger;
    const struct {
        const char* what;
        std::vector<std::string> replies;
        NET_API_STATUS status;
        std::uint16_t group;  // on success: the group every later frame must carry
    } cases[] = {
        {"called name not present", {std::string("\x83\0\0\x01\x82", 5)}, NERR_NameNotFound, 0},
        {"other negative answer", {std::string("\x83\0\0\x01\x83", 5)}, ERROR_REQUEST_REFUSED, 0},
        {"retarget", {std::string("\x84\0\0\x06\x7f\0\0\x01\0\x8b", 10)}, NERR_NetworkError, 0},
        {"closed at the session request", {kClose}, NERR_NetworkError, 0},
        {"garbage for a session answer", {"HTTP/1.0 400 Bad\r\n\r\n"}, NERR_NetworkError, 0},
        {"silent after the session", {kPositive, kSilent}, ERROR_SEM_TIMEOUT, 0},
        {"start refused",
         {kPositive, SmbReply(kCmdSendStart, kErrDos71)},
         ERROR_REQUEST_REFUSED,
         0},
        {"reply for another command", {kPositive, kEndOk}, NERR_NetworkError, 0},
        {"end refused",
         {kPositive, kStartOk, kTextOk, SmbReply(kCmdSendEnd, kErrDos71)},
         ERROR_REQUEST_REFUSED,
         0},
        {"closed before the end is accepted",
         {kPositive, kStartOk, kTextOk, kClose},
         NERR_NetworkError,
         0},
        {"keep-alives are skipped",
         {kKeepAlive + kPositive, kStartOk, kKeepAlive + kTextOk, kEndOk},
         NERR_Success,
         0},
        {"the group of the start is used",
         {kPositive, SmbReply(kCmdSendStart, std::string(4, '\0'), "\x34\x12"), kTextOk, kEndOk},
         NERR_Success,
         0x1234},
    };
    const ScopedEnv timeout("QUORVEL_MESSENGER_TIMEOUT", "500");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReceiver receiver(c.replies);
        const ScopedEnv port("QUORVEL_MESSENGER_PORT", std::to_string(receiver.port()));
        const auto begin = Clock::now();
        EXPECT_EQ(Send(u"127.0.0.1", u"Ivan", u"x"), c.status);
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(1500));
        receiver.Finish();
        if (c.status != NERR_Success) continue;
        const std::vector<std::string> frames = {
            BuildSessionRequest("*SMBSERVER", kSuffixServer, LocalComputerName("CP866")),
            BuildStartFrame("Ivan", "127.0.0.1", OurPid(), 1),
            BuildTextFrame(c.group, "x", OurPid(), 2),
            BuildEndFrame(c.group, OurPid(), 3),
        };
        EXPECT_EQ(receiver.Received(), frames);
    }
}

TEST(MessengerScripted, SessionRequestCallsTheRecipient) {
    using namespace messenger;
    const struct {
        std::u16string recipient;
        std::string called;
        std::uint8_t suffix;
    } cases[] = {
        {u"127.0.0.1", "*SMBSERVER", kSuffixServer},
        {u"localhost", "LOCALHOST", kSuffixMessenger},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.recipient));
        ScriptedReceiver receiver({std::string("\x83\0\0\x01\x82", 5)});
        const ScopedEnv port("QUORVEL_MESSENGER_PORT", std::to_string(receiver.port()));
        EXPECT_EQ(Send(c.recipient, u"Ivan", u"x"), NERR_NameNotFound);
        receiver.Finish();
        ASSERT_EQ(receiver.Received().size(), 1u);
        EXPECT_EQ(receiver.Received()[0],
                  BuildSessionRequest(c.called, c.suffix, LocalComputerName("CP866")));
    }
}

TEST(MessengerScripted, SilentListenerTimesOutInTime) {
    ScriptedReceiver receiver({kSilent});
    const ScopedEnv port("QUORVEL_MESSENGER_PORT", std::to_string(receiver.port()));
    const ScopedEnv timeout("QUORVEL_MESSENGER_TIMEOUT", "500");
    const auto begin = Clock::now();
    EXPECT_EQ(Send(u"127.0.0.1", u"Ivan", u"hello"), ERROR_SEM_TIMEOUT);
    const auto elapsed = Clock::now() - begin;
    EXPECT_GE(elapsed, std::chrono::milliseconds(490));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
}

TEST(MessengerScripted, RefusedPortFailsAtOnce) {
    const ScopedEnv port("QUORVEL_MESSENGER_PORT",
                         std::to_string(testing_support::FreeLoopbackPort()));
    const auto begin = Clock::now();
    EXPECT_EQ(Send(u"127.0.0.1", u"Ivan", u"hello"), ERROR_CONNECTION_REFUSED);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(500));
}

TEST(MessengerScripted, BroadcastIsNotSupportedAndSendsNothing) {
    ScriptedReceiver receiver({});
    const ScopedEnv port("QUORVEL_MESSENGER_PORT", std::to_string(receiver.port()));
    EXPECT_EQ(Send(u"*", u"Ivan", u"hello"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Send(u"WORKGROUP*", u"Ivan", u"hello"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(receiver.Connections(), 0);
}

}  // namespace
