// The messenger client's pure parts: reply parsers, frame builders, names, configuration and the
// argument checks that come before any traffic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/LmMsg.h"
#include "platform/posix/MessengerClient.h"

using namespace platform;
using namespace platform::messenger;

namespace {

// "ff 53 4d" -> bytes; blanks are only for reading.
std::string Hex(std::string_view hex) {
    std::string out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

std::span<const unsigned char> Bytes(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

std::string Cp866(std::u16string_view text) {
    return Utf16ToCodePage(text, "CP866");
}

TEST(MessengerParser, SessionResponses) {
    const struct {
        const char* what;
        std::string packet;
        SessionAnswer answer;
        std::uint8_t code;
        NET_API_STATUS status;
    } cases[] = {
        {"positive", Hex("82 00 00 00"), SessionAnswer::Positive, 0, NERR_Success},
        {"called name not present", Hex("83 00 00 01 82"), SessionAnswer::Negative, 0x82,
         NERR_NameNotFound},
        {"not listening on called name", Hex("83 00 00 01 80"), SessionAnswer::Negative, 0x80,
         ERROR_REQUEST_REFUSED},
        {"insufficient resources", Hex("83 00 00 01 83"), SessionAnswer::Negative, 0x83,
         ERROR_REQUEST_REFUSED},
        {"retarget", Hex("84 00 00 06 7f 00 00 01 00 8b"), SessionAnswer::Retarget, 0,
         NERR_NetworkError},
        {"empty", "", SessionAnswer::Malformed, 0, NERR_NetworkError},
        {"short header", Hex("82 00 00"), SessionAnswer::Malformed, 0, NERR_NetworkError},
        {"positive with payload", Hex("82 00 00 01 00"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"negative without code", Hex("83 00 00 00"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"length beyond the data", Hex("83 00 00 02 82"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"length extension bit", Hex("82 01 00 00"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"short retarget", Hex("84 00 00 02 7f 00"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"an SMB frame instead", Hex("00 00 00 00"), SessionAnswer::Malformed, 0,
         NERR_NetworkError},
        {"garbage", "HTTP/1.0 400", SessionAnswer::Malformed, 0, NERR_NetworkError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SessionResult r = ParseSessionResponse(Bytes(c.packet));
        EXPECT_EQ(r.answer, c.answer);
        EXPECT_EQ(r.errorCode, c.code);
        EXPECT_EQ(StatusOf(r), c.status);
    }
}

struct ReplyShape {
    std::uint8_t command = kCmdSendStart;
    std::string magic = "\xFFSMB";
    std::string status = std::string(4, '\0');
    std::uint8_t flags = 0x80;
    std::string flags2 = std::string(2, '\0');
    std::string words;
    std::string bytes;
    int byteCountDelta = 0;                 // a ByteCount that lies
    std::size_t cutTo = std::string::npos;  // frame cut after this many SMB bytes
};

std::string Reply(const ReplyShape& s) {
    std::string smb = s.magic;
    smb.push_back(static_cast<char>(s.command));
    smb += s.status;
    smb.push_back(static_cast<char>(s.flags));
    smb += s.flags2;
    smb += std::string(2 + 8 + 2 + 2, '\0') + Hex("34 12 00 00 01 00");
    smb.push_back(static_cast<char>(s.words.size() / 2));
    smb += s.words;
    const int bc = static_cast<int>(s.bytes.size()) + s.byteCountDelta;
    smb.push_back(static_cast<char>(bc & 0xFF));
    smb.push_back(static_cast<char>(bc >> 8));
    smb += s.bytes;
    smb = smb.substr(0, s.cutTo);
    return std::string(1, '\0') + static_cast<char>(smb.size() >> 16) +
           static_cast<char>((smb.size() >> 8) & 0xFF) + static_cast<char>(smb.size() & 0xFF) + smb;
}

TEST(MessengerParser, SmbReplies) {
    const auto with = [](auto change) {
        ReplyShape s;
        change(s);
        return Reply(s);
    };
    const struct {
        const char* what;
        std::string packet;
        std::uint8_t command;
        SmbAnswer answer;
        std::uint32_t status;
        std::uint16_t group;
        NET_API_STATUS result;
    } cases[] = {
        {"start, no words (as Samba answers)", Reply({}), kCmdSendStart, SmbAnswer::Ok, 0, 0,
         NERR_Success},
        {"start with a group id", with([](ReplyShape& s) { s.words = Hex("34 12"); }),
         kCmdSendStart, SmbAnswer::Ok, 0, 0x1234, NERR_Success},
        {"start with two words", with([](ReplyShape& s) { s.words = Hex("34 12 00 00"); }),
         kCmdSendStart, SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"text", with([](ReplyShape& s) { s.command = kCmdSendText; }), kCmdSendText, SmbAnswer::Ok,
         0, 0, NERR_Success},
        {"end with a word", with([](ReplyShape& s) {
             s.command = kCmdSendEnd;
             s.words = Hex("00 00");
         }),
         kCmdSendEnd, SmbAnswer::Ok, 0, 0, NERR_Success},
        {"excess bytes are ignored", with([](ReplyShape& s) {
             s.byteCountDelta = -1;
             s.bytes = "x";
         }),
         kCmdSendStart, SmbAnswer::Ok, 0, 0, NERR_Success},
        {"messaging off: ERRDOS/71", with([](ReplyShape& s) { s.status = Hex("01 00 47 00"); }),
         kCmdSendStart, SmbAnswer::Error, 0x00470001, 0, ERROR_REQUEST_REFUSED},
        {"NT status", with([](ReplyShape& s) {
             s.command = kCmdSendEnd;
             s.status = Hex("22 00 00 c0");
             s.flags2 = Hex("01 40");
         }),
         kCmdSendEnd, SmbAnswer::Error, 0xC0000022, 0, ERROR_REQUEST_REFUSED},
        {"error with the header only", with([](ReplyShape& s) {
             s.status = Hex("02 00 01 00");
             s.cutTo = 32;
         }),
         kCmdSendStart, SmbAnswer::Error, 0x00010002, 0, ERROR_REQUEST_REFUSED},
        {"header cut short", with([](ReplyShape& s) { s.cutTo = 31; }), kCmdSendStart,
         SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"no byte count", with([](ReplyShape& s) { s.cutTo = 33; }), kCmdSendStart,
         SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"words cut off", with([](ReplyShape& s) {
             s.words = Hex("34 12");
             s.cutTo = 34;
         }),
         kCmdSendStart, SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"bytes cut off", with([](ReplyShape& s) { s.byteCountDelta = 5; }), kCmdSendStart,
         SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"reply to another command", Reply({}), kCmdSendEnd, SmbAnswer::Malformed, 0, 0,
         NERR_NetworkError},
        {"SMB2 magic", with([](ReplyShape& s) { s.magic = "\xFESMB"; }), kCmdSendStart,
         SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"request echoed back", with([](ReplyShape& s) { s.flags = 0; }), kCmdSendStart,
         SmbAnswer::Malformed, 0, 0, NERR_NetworkError},
        {"session length disagrees", Reply({}) + "x", kCmdSendStart, SmbAnswer::Malformed, 0, 0,
         NERR_NetworkError},
        {"not a session message", "\x85" + Reply({}).substr(1), kCmdSendStart, SmbAnswer::Malformed,
         0, 0, NERR_NetworkError},
        {"session header only", Hex("00 00 00 00"), kCmdSendStart, SmbAnswer::Malformed, 0, 0,
         NERR_NetworkError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SmbResult r = ParseSmbReply(Bytes(c.packet), c.command);
        EXPECT_EQ(r.answer, c.answer);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.groupId, c.group);
        EXPECT_EQ(StatusOf(r), c.result);
    }
}

TEST(MessengerFrames, NetbiosNamesAreFirstLevelEncoded) {
    const struct {
        std::string name;
        std::uint8_t suffix;
        std::string letters;
    } cases[] = {
        // The worked example of RFC 1001: "FRED" padded with blanks, suffix blank.
        {"FRED", 0x20, "EGFCEFEECACACACACACACACACACACACA"},
        {"FRED", 0x03, "EGFCEFEECACACACACACACACACACACAAD"},
        {"", 0x00, "CACACACACACACACACACACACACACACAAA"},
        {"ABCDEFGHIJKLMNOPQ", 0x00, "EBECEDEEEFEGEHEIEJEKELEMENEOEPAA"},  // cut at 15
        {"\x8f\xa5", 0x03, "IPKFCACACACACACACACACACACACACAAD"},           // "Пе" in CP866
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EncodeNetbiosName(c.name, c.suffix), "\x20" + c.letters + std::string(1, '\0'));
    }
}

TEST(MessengerFrames, RequestsHaveTheirExactLayout) {
    // status, flags, flags2, pid-high, signature, reserved, TID; then PID and UID
    const std::string smbHeaderTail =
        "00 00 00 00  00  00 00  00 00  00 00 00 00 00 00 00 00  00 00  00 00  34 12  00 00";
    const struct {
        const char* what;
        std::string frame;
        std::string bytes;
    } cases[] = {
        {"session request", BuildSessionRequest("FRED", 0x03, "HOST"),
         Hex("81 00 00 44 20") + "EGFCEFEECACACACACACACACACACACAAD" + Hex("00 20") +
             "EIEPFDFECACACACACACACACACACACAAA" + Hex("00")},
        {"start", BuildStartFrame("IVAN", "PETR", 0x1234, 1),
         Hex("00 00 00 2f ff 53 4d 42 d5 " + smbHeaderTail + " 01 00 00 0c 00 04") + "IVAN" +
             Hex("00 04") + "PETR" + Hex("00")},
        {"text", BuildTextFrame(0x0102, "ab", 0x1234, 2),
         Hex("00 00 00 2a ff 53 4d 42 d7 " + smbHeaderTail + " 02 00 01 02 01 05 00 01 02 00") +
             "ab"},
        {"end", BuildEndFrame(0x0102, 0x1234, 3),
         Hex("00 00 00 25 ff 53 4d 42 d6 " + smbHeaderTail + " 03 00 01 02 01 00 00")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.frame, c.bytes);
    }
}

TEST(MessengerFrames, TextSplitsIntoBlocksAfterConversion) {
    std::u16string text;
    for (int i = 0; i < 1000; ++i) text += static_cast<char16_t>(u'А' + i % 32);
    const std::string wire = Cp866(text);
    ASSERT_EQ(wire.size(), text.size());  // single-byte: a character never spans two blocks

    const struct {
        std::size_t length;
        std::vector<std::size_t> sizes;
    } cases[] = {
        {0, {}},
        {1, {1}},
        {127, {127}},
        {128, {127, 1}},
        {1000, {127, 127, 127, 127, 127, 127, 127, 111}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string_view part = std::string_view(wire).substr(0, c.length);
        std::vector<std::size_t> sizes;
        std::string joined;
        for (const std::string_view block : SplitText(part)) {
            sizes.push_back(block.size());
            joined += block;
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(joined, part);
    }
    std::string joined;
    for (const std::string_view block : SplitText(wire)) joined += block;
    EXPECT_EQ(CodePageToUtf16(joined, "CP866"), text);
}

TEST(MessengerNames, UpperCasingCoversLatinAndCyrillic) {
    EXPECT_EQ(UpperCaseName(u"azAZ09-_.é"), u"AZAZ09-_.é");
    EXPECT_EQ(UpperCaseName(u"абвгдеёжзийклмнопрстуфхцчшщъыьэюя"),
              u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ");
    EXPECT_EQ(UpperCaseName(u"ѐђѓєѕіїјљњћќѝўџ"), u"ЀЂЃЄЅІЇЈЉЊЋЌЍЎЏ");
}

TEST(MessengerNames, MessagesCarryTheNamesTheReceiverExpects) {
    const std::string host = "MYPC";
    const struct {
        const char* what;
        std::u16string recipient;
        bool isAddress;
        std::u16string from;
        const char* codePage;
        std::string called;
        std::uint8_t suffix;
        std::string to;
        std::string fromBytes;
    } cases[] = {
        {"latin name", u"petya", false, u"Ivan", "CP866", "PETYA", kSuffixMessenger, "petya",
         "Ivan"},
        {"cyrillic name", u"Петя-ёж", false, u"Пётр", "CP866", Cp866(u"ПЕТЯ-ЁЖ"), kSuffixMessenger,
         Cp866(u"Петя-ёж"), Cp866(u"Пётр")},
        {"address calls the wildcard server name", u"127.0.0.1", true, u"Ivan", "CP866",
         "*SMBSERVER", kSuffixServer, "127.0.0.1", "Ivan"},
        {"long names cut to 15 bytes", u"Бухгалтерия-второй-этаж", false, u"Иванов Пётр Сергеевич",
         "CP866", Cp866(u"БУХГАЛТЕРИЯ-ВТО"), kSuffixMessenger, Cp866(u"Бухгалтерия-вто"),
         Cp866(u"Иванов Пётр Сер")},
        {"no sender: the computer", u"petya", false, u"", "CP866", "PETYA", kSuffixMessenger,
         "petya", "MYPC"},
        {"multi-byte code page cut between characters", u"AПётр Иванов", false, u"AПётр Иванов",
         "UTF-8", "AПЁТР ИВ", kSuffixMessenger, "AПётр Ив", "AПётр Ив"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const WireMessage m =
            PrepareMessage(c.recipient, c.isAddress, c.from, u"Раз\r\nдва", c.codePage, host);
        EXPECT_EQ(m.calledName, c.called);
        EXPECT_EQ(m.calledSuffix, c.suffix);
        EXPECT_EQ(m.callingName, host);
        EXPECT_EQ(m.to, c.to);
        EXPECT_EQ(m.from, c.fromBytes);
        EXPECT_EQ(m.text, Utf16ToCodePage(u"Раз\r\nдва", c.codePage));  // CR LF kept
    }
}

TEST(MessengerNames, ComputerNameIsTheFirstLabelUpperCased) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string label(host);
    label = label.substr(0, label.find('.')).substr(0, 15);
    for (char& ch : label) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(LocalComputerName("CP866"), label);
}

TEST(MessengerBuffer, TextIsTheFirstHalfOfTheLengthInUnits) {
    // One byte in front, so the text starts at an odd address.
    const unsigned char raw[] = {0xEE, 'a', 0, 'b', 0, 0x4F, 0x04, 0, 0};
    const struct {
        const unsigned char* buf;
        std::uint32_t length;
        std::u16string text;
    } cases[] = {
        {nullptr, 0, u""},    {nullptr, 1, u""},
        {raw + 1, 0, u""},    {raw + 1, 1, u""},
        {raw + 1, 3, u"a"},   {raw + 1, 6, u"abя"},
        {raw + 1, 7, u"abя"}, {raw + 1, 8, std::u16string(u"abя\0", 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(TextFromBuffer(c.buf, c.length), c.text);
    }
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

TEST(MessengerConfig, ValuesAreReadAndInvalidOnesFallBack) {
    const struct {
        const char* port;
        const char* timeout;
        const char* codePage;
        std::uint16_t wantPort;
        int wantTimeout;
        std::string wantCodePage;
    } cases[] = {
        {nullptr, nullptr, nullptr, 139, 3000, "CP866"},
        {"445", "500", "CP1251", 445, 500, "CP1251"},
        {"65535", "1", "UTF-8", 65535, 1, "UTF-8"},
        {"", "", "", 139, 3000, "CP866"},
        {"0", "0", "NO-SUCH-CODEPAGE", 139, 3000, "CP866"},
        {"65536", "-5", "UTF-16LE", 139, 3000, "CP866"},  // UTF-16 would put zeros in names
        {"13x", "1e3", "UCS-4", 139, 3000, "CP866"},
        {" 445", "99999999999", "CP866", 139, 3000, "CP866"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.port ? c.port : "-") + "/" + (c.timeout ? c.timeout : "-") +
                     "/" + (c.codePage ? c.codePage : "-"));
        ScopedEnv port("QUORVEL_MESSENGER_PORT", c.port);
        ScopedEnv timeout("QUORVEL_MESSENGER_TIMEOUT", c.timeout);
        ScopedEnv cp("QUORVEL_MESSENGER_CODEPAGE", c.codePage);
        const Config config = ReadConfig();
        EXPECT_EQ(config.port, c.wantPort);
        EXPECT_EQ(config.timeoutMs, c.wantTimeout);
        EXPECT_EQ(config.codePage, c.wantCodePage);
    }
}

// These are refused before any name is resolved or any connection is made.
TEST(MessengerCall, BadArgumentsAndBroadcastsAreRefusedUpFront) {
    const unsigned char text[] = {'h', 0, 'i', 0, 0};
    const struct {
        const char* what;
        const char16_t* server;
        const char16_t* recipient;
        const unsigned char* buf;
        std::uint32_t length;
        NET_API_STATUS status;
    } cases[] = {
        {"a server name", u"OTHER", u"127.0.0.1", text, 5, ERROR_INVALID_PARAMETER},
        {"an empty server name", u"", u"127.0.0.1", text, 5, ERROR_INVALID_PARAMETER},
        {"no recipient", nullptr, nullptr, text, 5, ERROR_INVALID_PARAMETER},
        {"an empty recipient", nullptr, u"", text, 5, ERROR_INVALID_PARAMETER},
        {"no buffer but a length", nullptr, u"127.0.0.1", nullptr, 4, ERROR_INVALID_PARAMETER},
        {"everybody", nullptr, u"*", text, 5, ERROR_NOT_SUPPORTED},
        {"a workgroup", nullptr, u"WORKGROUP*", text, 5, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NetMessageBufferSend(c.server, c.recipient, u"me", c.buf, c.length), c.status);
    }
}

}  // namespace
