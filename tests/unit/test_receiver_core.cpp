// The receiver's pure parts: the frame parser (bytes in, replies and messages out), decoding,
// the log record, the log file, the pid file and the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "TempDir.h"
#include "messenger/Message.h"
#include "messenger/MessageLog.h"
#include "messenger/Options.h"
#include "messenger/PidFile.h"
#include "messenger/Receiver.h"
#include "platform/CodePage.h"
#include "platform/posix/MessengerClient.h"

using namespace messenger;
namespace wire = platform::messenger;
using testing_support::TempDir;

namespace {

std::span<const unsigned char> Bytes(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

std::string Le16(std::uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string Session(std::uint8_t type, const std::string& payload) {
    std::string h{static_cast<char>(type), static_cast<char>((payload.size() >> 16) & 1),
                  static_cast<char>((payload.size() >> 8) & 0xFF),
                  static_cast<char>(payload.size() & 0xFF)};
    return h + payload;
}

// An SMB1 request as a sender would make it, with MID 7 and PID 0x1234.
std::string Smb(std::uint8_t cmd, const std::string& words, const std::string& data,
                std::uint8_t flags = 0) {
    std::string smb("\xFFSMB", 4);
    smb.push_back(static_cast<char>(cmd));
    smb.append(4, '\0');
    smb.push_back(static_cast<char>(flags));
    smb.append(2 + 2 + 8 + 2 + 2, '\0');
    smb += Le16(0x1234) + Le16(0) + Le16(7);
    smb.push_back(static_cast<char>(words.size() / 2));
    smb += words + Le16(static_cast<std::uint16_t>(data.size())) + data;
    return Session(0x00, smb);
}

std::string Str(const std::string& s) {
    return '\x04' + s + '\0';
}
std::string Block(const std::string& s) {
    return '\x01' + Le16(static_cast<std::uint16_t>(s.size())) + s;
}

const std::string kSessionRequest = wire::BuildSessionRequest("BOB", 0x03, "ALICE-PC");
std::string Start(const std::string& from = "ALICE", const std::string& to = "BOB") {
    return wire::BuildStartFrame(from, to, 1, 1);
}
std::string Text(const std::string& t, std::uint16_t group = 1) {
    return wire::BuildTextFrame(group, t, 1, 2);
}
std::string End(std::uint16_t group = 1) {
    return wire::BuildEndFrame(group, 1, 3);
}
std::string Single(const std::string& from, const std::string& to, const std::string& text) {
    return Smb(kCmdSendSingle, "", Str(from) + Str(to) + Block(text));
}
std::string Negotiate(std::initializer_list<const char*> dialects) {
    std::string data;
    for (const char* d : dialects) data += '\x02' + std::string(d) + '\0';
    return Smb(kCmdNegotiate, "", data);
}

char Hex(unsigned v) {
    return "0123456789abcdef"[v & 15];
}

// One token per event. Every SMB reply must also be one the client side accepts as a reply to
// its command, with its MID kept.
std::string Summary(const std::vector<Event>& events) {
    std::string out;
    auto reply = [&](const std::string& bytes) {
        const auto b = Bytes(bytes);
        if (b.size() >= 4 && (b[0] == 0x82 || b[0] == 0x83)) {
            const auto r = wire::ParseSessionResponse(b);
            if (r.answer == wire::SessionAnswer::Positive) return std::string("82");
            if (r.answer == wire::SessionAnswer::Negative)
                return std::string("83:") + Hex(r.errorCode >> 4) + Hex(r.errorCode);
            return std::string("bad-session-reply");
        }
        if (b.size() < 4 + 32) return std::string("short-reply");
        const std::uint8_t cmd = b[4 + 4];
        const auto r = wire::ParseSmbReply(b, cmd);
        std::string t{Hex(cmd >> 4), Hex(cmd), ':'};
        if (r.answer == wire::SmbAnswer::Ok) {
            t += "0";
        } else if (r.answer == wire::SmbAnswer::Error) {
            t += "e" + std::to_string(r.status & 0xFF) + "." + std::to_string(r.status >> 16);
        } else {
            t += "malformed";
        }
        if (b[4 + 30] != 7 && cmd != kCmdNegotiate && cmd != wire::kCmdSendStart &&
            cmd != wire::kCmdSendText && cmd != wire::kCmdSendEnd) {
            t += "(mid?)";
        }
        return t;
    };
    for (const Event& e : events) {
        if (!out.empty()) out += ' ';
        switch (e.kind) {
            case Event::Kind::Reply:
                out += reply(e.bytes);
                break;
            case Event::Kind::Message:
                out += "msg[" + e.message.from + "|" + e.message.to + "|" + e.message.text + "] " +
                       reply(e.bytes) + "/" + reply(e.failure);
                break;
            case Event::Kind::Close:
                out += "close";
                break;
        }
    }
    return out;
}

std::string Parse(const std::string& input, std::size_t chunk, Limits limits = {}) {
    SessionParser p(limits);
    std::vector<Event> events;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        p.Feed(Bytes(input.substr(at, chunk)), events);
    }
    return Summary(events);
}

TEST(MessengerReceiver, FrameTable) {
    Limits small;
    small.maxTextBytes = 10;
    small.maxFramePayload = 200;
    const std::string big(300, 'x');
    std::string badName = kSessionRequest;
    badName[5] = 'Z';  // outside 'A'..'P'
    std::string reversedFlags = Start();
    reversedFlags[1] = 0x02;  // a length bit the session service does not have
    std::string smb2 = Start();
    smb2[4] = '\xFE';
    const std::string overCount = Session(0x00, Start().substr(4, 33) + Le16(500) + "xx");
    struct Case {
        const char* what;
        std::string input;
        std::string expected;
        Limits limits = {};
    };
    const Case cases[] = {
        {"multi-block after a session request",
         kSessionRequest + Start() + Text("Hello, ") + Text("world") + End(),
         "82 d5:0 d7:0 d7:0 msg[ALICE|BOB|Hello, world] d6:0/d6:e2.83"},
        {"multi-block without a session request (another port)",
         Start("x", "y") + Text("a\r\nb") + End(), "d5:0 d7:0 msg[x|y|a\r\nb] d6:0/d6:e2.83"},
        {"empty message: no text block", Start() + End(), "d5:0 msg[ALICE|BOB|] d6:0/d6:e2.83"},
        {"two messages on one connection",
         Start("a", "b") + Text("1") + End() + Start("c", "d") + Text("2", 2) + End(2),
         "d5:0 d7:0 msg[a|b|1] d6:0/d6:e2.83 d5:0 d7:0 msg[c|d|2] d6:0/d6:e2.83"},
        {"single block without negotiate", Single("a", "b", "hi"), "msg[a|b|hi] d0:0/d0:e2.83"},
        {"single block after negotiate", Negotiate({"NT LM 0.12"}) + Single("a", "b", "hi"),
         "72:0 msg[a|b|hi] d0:0/d0:e2.83"},
        {"keep-alives are ignored", Session(0x85, "") + Start() + Session(0x85, "") + End(),
         "d5:0 msg[ALICE|BOB|] d6:0/d6:e2.83"},
        {"text without a start", Text("x") + End(), "d7:e1.87 d6:e1.87"},
        {"block of another group breaks the message", Start() + Text("x", 9) + End(),
         "d5:0 d7:e1.87 d6:e1.87"},
        {"a new start drops the message under way",
         Start("a", "b") + Text("old") + Start("c", "d") + Text("new", 2) + End(2),
         "d5:0 d7:0 d5:0 d7:0 msg[c|d|new] d6:0/d6:e2.83"},
        {"text over the limit", Start() + Text("0123456") + Text("789ab") + End(),
         "d5:0 d7:0 d7:e2.83 d6:e1.87", small},
        {"single block over the limit", Single("a", "b", "0123456789ab"), "d0:e2.83", small},
        {"frame over the frame limit is refused at its header", Start() + Text(big), "d5:0 close",
         small},
        {"reserved length bits", reversedFlags, "close"},
        {"unknown session packet type", Session(0x83, "x") + Start(), "close"},
        {"keep-alive with a payload", Session(0x85, "x"), "close"},
        {"second session request", kSessionRequest + kSessionRequest, "82 close"},
        {"session request after SMB frames", Start() + kSessionRequest, "d5:0 close"},
        {"malformed names in the session request", badName, "83:8f close"},
        {"session request with trailing bytes", Session(0x81, kSessionRequest.substr(4) + "x"),
         "83:8f close"},
        {"SMB2 header", smb2, "close"},
        {"frame shorter than an SMB header", Session(0x00, "\xFFSMB"), "close"},
        {"a reply sent as a request", Smb(wire::kCmdSendStart, "", Str("a") + Str("b"), 0x80),
         "close"},
        {"byte count past the frame's end", overCount, "d5:e2.1 close"},
        {"start without format bytes", Smb(wire::kCmdSendStart, "", "a\0b\0"), "d5:e1.87"},
        {"start with an unterminated name", Smb(wire::kCmdSendStart, "", Str("a") + "\x04xyz"),
         "d5:e1.87"},
        {"name over the name limit", Start(std::string(256, 'n'), "b"), "d5:e1.87"},
        {"text block longer than its frame",
         Smb(wire::kCmdSendText, Le16(1), "\x01" + Le16(50) + "short"), "d7:e1.87"},
        {"unknown command, then the connection goes on", Smb(0x73, "", "") + Single("a", "b", "c"),
         "73:e2.64 msg[a|b|c] d0:0/d0:e2.83"},
        {"nothing after a close is read", reversedFlags + Start(), "close"},
        {"half a frame: nothing yet", Start().substr(0, 20), ""},
    };
    for (const Case& c : cases) {
        // Whole, and one byte at a time: a packet's pieces may arrive in any split.
        EXPECT_EQ(Parse(c.input, c.input.size() + 1, c.limits), c.expected) << c.what;
        EXPECT_EQ(Parse(c.input, 1, c.limits), c.expected) << c.what << " (byte by byte)";
    }
}

TEST(MessengerReceiver, PartialPacketsAndState) {
    SessionParser p;
    std::vector<Event> events;
    const std::string start = Start();
    p.Feed(Bytes(start.substr(0, 2)), events);
    EXPECT_TRUE(p.MidPacket());
    p.Feed(Bytes(start.substr(2)), events);
    EXPECT_FALSE(p.MidPacket());
    EXPECT_TRUE(p.MidMessage());
    EXPECT_EQ(Summary(events), "d5:0");
    events.clear();
    p.Feed(Bytes(End()), events);
    EXPECT_FALSE(p.MidMessage());
    EXPECT_FALSE(p.Closed());
}

TEST(MessengerReceiver, NegotiateChoosesNt1OrCore) {
    struct {
        std::initializer_list<const char*> dialects;
        std::size_t words;
        std::uint16_t index;
    } cases[] = {
        {{"PC NETWORK PROGRAM 1.0", "LANMAN1.0", "NT LM 0.12", "SMB 2.002"}, 17, 2},
        {{"LANMAN1.0", "PC NETWORK PROGRAM 1.0"}, 1, 1},
        {{"SMB 2.002", "SMB 2.???"}, 1, 0xFFFF},
    };
    for (const auto& c : cases) {
        SessionParser p;
        p.SetFileTime(0x0123456789ABCDEFULL);
        std::vector<Event> events;
        p.Feed(Bytes(Negotiate(c.dialects)), events);
        ASSERT_EQ(events.size(), 1u);
        const auto b = Bytes(events[0].bytes);
        ASSERT_EQ(wire::ParseSmbReply(b, kCmdNegotiate).answer, wire::SmbAnswer::Ok);
        const std::size_t wc = b[4 + 32];
        ASSERT_EQ(wc, c.words);
        EXPECT_EQ(b[4 + 33] | (b[4 + 34] << 8), c.index);
        if (wc == 17) {
            // SystemTime follows 23 bytes of fields, little-endian.
            std::uint64_t t = 0;
            for (int i = 7; i >= 0; --i) t = (t << 8) | b[4 + 33 + 23 + i];
            EXPECT_EQ(t, 0x0123456789ABCDEFULL);
            EXPECT_EQ(b[4 + 33 + 33], 0) << "no challenge";
        }
    }
}

TEST(MessengerReceiver, DecodesCodePageAndLineBreaks) {
    const struct {
        const char* what;
        std::string wire;
        const char* codePage;
        std::string utf8;
    } cases[] = {
        {"CR LF", "a\r\nb", "CP866", "a\nb"},
        {"LF", "a\nb", "CP866", "a\nb"},
        {"0x14",
         "a\x14"
         "b",
         "CP866", "a\nb"},
        {"lone CR", "a\rb", "CP866", "a\nb"},
        {"CR CR LF", "a\r\r\nb", "CP866", "a\n\nb"},
        {"Cyrillic in CP866", platform::Utf16ToCodePage(u"Привет, Ёжик", "CP866"), "CP866",
         "Привет, Ёжик"},
        {"Cyrillic in CP1251", platform::Utf16ToCodePage(u"Щука", "CP1251"), "CP1251", "Щука"},
    };
    for (const auto& c : cases) {
        const Message m = DecodeMessage({c.wire, c.wire, c.wire}, c.codePage);
        EXPECT_EQ(m.text, c.utf8) << c.what;
        EXPECT_EQ(m.from, c.utf8) << c.what;
        EXPECT_EQ(m.to, c.utf8) << c.what;
    }
    EXPECT_TRUE(UsableCodePage("CP866"));
    EXPECT_FALSE(UsableCodePage("NO-SUCH-CODEPAGE"));
    EXPECT_FALSE(UsableCodePage("UTF-16"));  // NUL bytes in every ASCII letter
}

TEST(MessengerReceiver, RecordsRoundTripWithAwkwardBytes) {
    setenv("TZ", "Europe/Moscow", 1);
    tzset();
    Message m;
    m.received = std::chrono::system_clock::from_time_t(1'800'000'000);
    m.peer = "127.0.0.1";
    m.from = "Вася\tПупкин";
    m.to = "BOB\\";
    m.text = "line 1\nline\t2\r\n\x01\x7f end \\n";
    const std::string record = FormatRecord(m);
    ASSERT_EQ(record.back(), '\n');
    EXPECT_EQ(record.find('\n'), record.size() - 1) << "one line per record";
    EXPECT_EQ(record.substr(0, 25), "2027-01-15 11:00:00 +0300");
    const auto back = ParseRecord(std::string_view(record).substr(0, record.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->received, m.received);
    EXPECT_EQ(back->peer, m.peer);
    EXPECT_EQ(back->from, m.from);
    EXPECT_EQ(back->to, m.to);
    EXPECT_EQ(back->text, m.text);
    for (const char* bad : {"", "x\ty\tz\tw\tv", "2027-01-15 11:00:00 +0300\ta\tb\tc",
                            "2027-01-15 11:00:00 +0300\ta\tb\tc\td\\q",
                            "2027-01-15 11:00:00 +0300\ta\tb\tc\td\\x4"}) {
        EXPECT_FALSE(ParseRecord(bad)) << bad;
    }
    unsetenv("TZ");
    tzset();
}

TEST(MessengerReceiver, LogFileIsCreatedPrivateAndAppended) {
    TempDir dir;
    const std::string path = dir.path() + "/state/quorvel/messages.log";
    Message m;
    m.received = std::chrono::system_clock::now();
    m.text = "first";
    {
        MessageLog log(path);
        ASSERT_TRUE(log.isOpen()) << log.error();
        ASSERT_TRUE(log.Append(m));
    }
    m.text = "second";
    {
        MessageLog log(path);
        ASSERT_TRUE(log.Append(m));
    }
    struct stat st {};
    ASSERT_EQ(stat((dir.path() + "/state/quorvel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string content = testing_support::ReadFileBytes(path);
    EXPECT_NE(content.find("\tfirst\n"), std::string::npos);
    EXPECT_NE(content.find("\tsecond\n"), std::string::npos);
    EXPECT_LT(content.find("first"), content.find("second"));

    MessageLog blocked(dir.path() + "/state/quorvel/messages.log/sub");
    EXPECT_FALSE(blocked.isOpen());
    EXPECT_FALSE(blocked.error().empty());
}

TEST(MessengerReceiver, DefaultLogPath) {
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(DefaultLogPath(), "/x/state/quorvel/messages.log");
    setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(DefaultLogPath(), "/home/u/.local/state/quorvel/messages.log");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(DefaultLogPath(), "/home/u/.local/state/quorvel/messages.log");
    setenv("HOME", savedHome.c_str(), 1);
}

TEST(MessengerReceiver, PidFileLockAndStaleFile) {
    TempDir dir;
    const std::string path = dir.path() + "/quorvel/messenger.pid";
    std::string err;
    {
        PidFile first;
        ASSERT_EQ(first.Acquire(path, err), PidFile::Lock::Taken) << err;
        EXPECT_TRUE(PidFileHeld(path));
        EXPECT_EQ(testing_support::ReadFileBytes(path), "") << "no pid before listening";
        ASSERT_TRUE(first.WritePid(err));
        EXPECT_EQ(testing_support::ReadFileBytes(path), std::to_string(getpid()) + "\n");
        PidFile second;  // its own open file: the lock conflicts as with another process
        EXPECT_EQ(second.Acquire(path, err), PidFile::Lock::Busy);
        // Dropped without Remove, as at a crash: a stale file stays behind.
    }
    EXPECT_TRUE(testing_support::FileExists(path));
    EXPECT_FALSE(PidFileHeld(path));
    PidFile again;
    ASSERT_EQ(again.Acquire(path, err), PidFile::Lock::Taken) << "a stale file is taken over";
    EXPECT_EQ(testing_support::ReadFileBytes(path), "") << "the old pid is cleared";
    again.Remove();
    EXPECT_FALSE(testing_support::FileExists(path));
}

TEST(MessengerReceiver, CommandLineAndEnvironment) {
    const char* vars[] = {"QUORVEL_MESSENGER_LISTEN", "QUORVEL_MESSENGER_PORT",
                          "QUORVEL_MESSENGER_CODEPAGE", "QUORVEL_MESSENGER_LOG"};
    auto parse = [](std::vector<const char*> args, const std::map<std::string, std::string>& env,
                    Options& o) {
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        args.insert(args.begin(), "quorvel-messenger");
        const std::string err = ParseOptions(static_cast<int>(args.size()), args.data(), o);
        for (const auto& kv : env) unsetenv(kv.first.c_str());
        return err;
    };
    for (const char* v : vars) unsetenv(v);

    Options o;
    ASSERT_EQ(parse({}, {}, o), "");
    EXPECT_EQ(o.listen, "0.0.0.0");
    EXPECT_EQ(o.port, 139);
    EXPECT_EQ(o.codePage, "CP866");
    EXPECT_TRUE(o.logPath.empty());
    EXPECT_TRUE(o.pidFile.empty());
    EXPECT_FALSE(o.noWindow);

    Options e;
    ASSERT_EQ(parse({},
                    {{"QUORVEL_MESSENGER_LISTEN", "127.0.0.1"},
                     {"QUORVEL_MESSENGER_PORT", "2139"},
                     {"QUORVEL_MESSENGER_CODEPAGE", "CP1251"},
                     {"QUORVEL_MESSENGER_LOG", "/tmp/x.log"}},
                    e),
              "");
    EXPECT_EQ(e.listen, "127.0.0.1");
    EXPECT_EQ(e.port, 2139);
    EXPECT_EQ(e.codePage, "CP1251");
    EXPECT_EQ(e.logPath, "/tmp/x.log");

    Options f;  // flags win over the environment
    ASSERT_EQ(
        parse({"--port", "3139", "--listen=127.0.0.2", "--no-window", "--notify", "--pid-file",
               "/run/p", "--timeout-ms", "250", "--max-connections=3", "--log", "/l"},
              {{"QUORVEL_MESSENGER_PORT", "2139"}}, f),
        "");
    EXPECT_EQ(f.port, 3139);
    EXPECT_EQ(f.listen, "127.0.0.2");
    EXPECT_TRUE(f.noWindow && f.notify);
    EXPECT_EQ(f.pidFile, "/run/p");
    EXPECT_EQ(f.timeoutMs, 250);
    EXPECT_EQ(f.maxConnections, 3u);
    EXPECT_EQ(f.logPath, "/l");

    const struct {
        std::vector<const char*> args;
        std::map<std::string, std::string> env;
    } bad[] = {
        {{"--port", "0"}, {}},
        {{"--port", "65536"}, {}},
        {{"--port", "12x"}, {}},
        {{"--port"}, {}},
        {{"--listen", "::1"}, {}},
        {{"--listen", "host"}, {}},
        {{"--codepage", "NOPE"}, {}},
        {{"--timeout-ms", "0"}, {}},
        {{"--frobnicate"}, {}},
        {{"--no-window=1"}, {}},
        {{}, {{"QUORVEL_MESSENGER_PORT", "x"}}},
        {{}, {{"QUORVEL_MESSENGER_LISTEN", "256.1.1.1"}}},
    };
    for (const auto& c : bad) {
        Options x;
        EXPECT_NE(parse(c.args, c.env, x), "") << (c.args.empty() ? "env" : c.args[0]);
    }
}

}  // namespace
