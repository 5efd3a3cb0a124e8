#include "platform/posix/MessengerClient.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/CodePage.h"

namespace platform::messenger {

namespace {

int ParseInt(const char* text, int min, int max, int fallback) {
    if (!text || !*text) return fallback;
    const char* end = text + std::strlen(text);
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || value < min || value > max) return fallback;
    return value;
}

// The name fields and the frames are NUL-terminated byte strings, so only code pages that keep
// ASCII as single bytes will do.
bool UsableCodePage(const char* name) {
    if (!name || !*name) return false;
    try {
        return Utf16ToCodePage(u"A0", name) == "A0";
    } catch (const std::exception&) {
        return false;
    }
}

void PutLe16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

std::uint16_t Le16(std::span<const unsigned char> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::string SessionPacket(std::uint8_t type, std::string_view payload) {
    std::string out;
    out.reserve(4 + payload.size());
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>((payload.size() >> 16) & 0x01));
    out.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(payload.size() & 0xFF));
    out.append(payload);
    return out;
}

std::string SmbFrame(std::uint8_t command, std::string_view words, std::string_view data,
                     std::uint16_t pid, std::uint16_t mid) {
    std::string smb("\xFFSMB", 4);
    smb.push_back(static_cast<char>(command));
    // status, flags, flags2, pid-high, signature, reserved and TID all zero: no session.
    smb.append(4 + 1 + 2 + 2 + 8 + 2 + 2, '\0');
    PutLe16(smb, pid);
    PutLe16(smb, 0);  // UID
    PutLe16(smb, mid);
    smb.push_back(static_cast<char>(words.size() / 2));
    smb.append(words);
    PutLe16(smb, static_cast<std::uint16_t>(data.size()));
    smb.append(data);
    return SessionPacket(kSessionMessage, smb);
}

std::string GroupWords(std::uint16_t groupId) {
    std::string w;
    PutLe16(w, groupId);
    return w;
}

}  // namespace

Config ReadConfig() {
    Config c;
    c.port = static_cast<std::uint16_t>(
        ParseInt(std::getenv("QUORVEL_MESSENGER_PORT"), 1, 65535, kDefaultPort));
    // An hour is far beyond any sensible wait; larger values are typing errors.
    c.timeoutMs =
        ParseInt(std::getenv("QUORVEL_MESSENGER_TIMEOUT"), 1, 3'600'000, kDefaultTimeoutMs);
    const char* cp = std::getenv("QUORVEL_MESSENGER_CODEPAGE");
    if (UsableCodePage(cp)) c.codePage = cp;
    return c;
}

std::u16string TextFromBuffer(const unsigned char* buf, std::uint32_t buflen) {
    std::u16string text(buf ? buflen / 2 : 0, u'\0');
    if (!text.empty()) std::memcpy(text.data(), buf, text.size() * 2);
    return text;
}

bool IsBroadcastName(std::u16string_view name) {
    return !name.empty() && name.back() == u'*';
}

std::u16string UpperCaseName(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 0x20);
        } else if (c >= 0x0430 && c <= 0x044F) {  // а..я
            c = static_cast<char16_t>(c - 0x20);
        } else if (c >= 0x0450 && c <= 0x045F) {  // ѐ..џ, ё among them
            c = static_cast<char16_t>(c - 0x50);
        }
    }
    return out;
}

std::string EncodeCut(std::u16string_view text, const char* codePage, std::size_t maxBytes) {
    std::string whole = Utf16ToCodePage(text, codePage);
    if (whole.size() <= maxBytes) return whole;
    // Every character takes at least one byte (a surrogate pair may become one '?'), so no more
    // than 2 * maxBytes units can fit; shorter prefixes are tried until one does.
    std::size_t units = std::min(text.size(), maxBytes * 2);
    for (; units > 0; --units) {
        const char16_t last = text[units - 1];
        if (last >= 0xD800 && last <= 0xDBFF) continue;  // keep surrogate pairs whole
        std::string part = Utf16ToCodePage(text.substr(0, units), codePage);
        if (part.size() <= maxBytes) return part;
    }
    return {};
}

std::string LocalComputerName(const char* codePage) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::string_view label(host);
    label = label.substr(0, label.find('.'));
    if (label.empty()) label = "LOCALHOST";
    return EncodeCut(UpperCaseName(CodePageToUtf16(label, "UTF-8")), codePage, kNameBytes);
}

WireMessage PrepareMessage(std::u16string_view recipient, bool recipientIsAddress,
                           std::u16string_view from, std::u16string_view text, const char* codePage,
                           std::string_view computerName) {
    WireMessage m;
    if (recipientIsAddress) {
        m.calledName = kAnyServerName;
        m.calledSuffix = kSuffixServer;
    } else {
        m.calledName = EncodeCut(UpperCaseName(recipient), codePage, kNameBytes);
        m.calledSuffix = kSuffixMessenger;
    }
    m.callingName = computerName.substr(0, kNameBytes);
    m.from = from.empty() ? m.callingName : EncodeCut(from, codePage, kNameBytes);
    m.to = EncodeCut(recipient, codePage, kNameBytes);
    m.text = Utf16ToCodePage(text, codePage);
    return m;
}

std::string EncodeNetbiosName(std::string_view name, std::uint8_t suffix) {
    std::string raw(name.substr(0, kNameBytes));
    raw.resize(kNameBytes, ' ');
    raw.push_back(static_cast<char>(suffix));
    std::string out(1, '\x20');
    for (unsigned char c : raw) {
        out.push_back(static_cast<char>('A' + (c >> 4)));
        out.push_back(static_cast<char>('A' + (c & 0x0F)));
    }
    out.push_back('\0');
    return out;
}

std::string BuildSessionRequest(std::string_view called, std::uint8_t calledSuffix,
                                std::string_view calling) {
    return SessionPacket(0x81, EncodeNetbiosName(called, calledSuffix) +
                                   EncodeNetbiosName(calling, kSuffixWorkstation));
}

std::string BuildStartFrame(std::string_view from, std::string_view to, std::uint16_t pid,
                            std::uint16_t mid) {
    std::string data;
    data.push_back('\x04');
    data.append(from);
    data.push_back('\0');
    data.push_back('\x04');
    data.append(to);
    data.push_back('\0');
    return SmbFrame(kCmdSendStart, {}, data, pid, mid);
}

std::string BuildTextFrame(std::uint16_t groupId, std::string_view block, std::uint16_t pid,
                           std::uint16_t mid) {
    std::string data;
    data.push_back('\x01');
    PutLe16(data, static_cast<std::uint16_t>(block.size()));
    data.append(block);
    return SmbFrame(kCmdSendText, GroupWords(groupId), data, pid, mid);
}

std::string BuildEndFrame(std::uint16_t groupId, std::uint16_t pid, std::uint16_t mid) {
    return SmbFrame(kCmdSendEnd, GroupWords(groupId), {}, pid, mid);
}

std::vector<std::string_view> SplitText(std::string_view wire, std::size_t maxBytes) {
    std::vector<std::string_view> blocks;
    for (std::size_t at = 0; at < wire.size(); at += maxBytes) {
        blocks.push_back(wire.substr(at, maxBytes));
    }
    return blocks;
}

std::size_t SessionPayloadLength(std::span<const unsigned char, 4> header) {
    return (std::size_t(header[1] & 0x01) << 16) | (std::size_t(header[2]) << 8) | header[3];
}

SessionResult ParseSessionResponse(std::span<const unsigned char> packet) {
    SessionResult r;
    if (packet.size() < 4) return r;
    const std::size_t length = SessionPayloadLength(packet.first<4>());
    if (length != packet.size() - 4) return r;
    switch (packet[0]) {
        case kSessionPositive:
            if (length == 0) r.answer = SessionAnswer::Positive;
            break;
        case kSessionNegative:
            if (length == 1) {
                r.answer = SessionAnswer::Negative;
                r.errorCode = packet[4];
            }
            break;
        case kSessionRetarget:
            if (length == 6) r.answer = SessionAnswer::Retarget;
            break;
        default:
            break;
    }
    return r;
}

SmbResult ParseSmbReply(std::span<const unsigned char> packet, std::uint8_t command) {
    constexpr std::size_t kHeader = 32;
    SmbResult r;
    if (packet.size() < 4 || packet[0] != kSessionMessage) return r;
    if (SessionPayloadLength(packet.first<4>()) != packet.size() - 4) return r;
    const auto smb = packet.subspan(4);
    if (smb.size() < kHeader) return r;
    if (smb[0] != 0xFF || smb[1] != 'S' || smb[2] != 'M' || smb[3] != 'B') return r;
    if (smb[4] != command || !(smb[9] & 0x80)) return r;  // 0x80: a reply, not an echo
    const std::uint32_t status = std::uint32_t(smb[5]) | (std::uint32_t(smb[6]) << 8) |
                                 (std::uint32_t(smb[7]) << 16) | (std::uint32_t(smb[8]) << 24);
    // A refusal is a refusal even when the receiver did not bother with the rest of the frame.
    if (status != 0) {
        r.answer = SmbAnswer::Error;
        r.status = status;
        return r;
    }
    if (smb.size() < kHeader + 3) return r;
    const std::size_t words = smb[kHeader];
    const std::size_t byteCountAt = kHeader + 1 + 2 * words;
    if (smb.size() < byteCountAt + 2) return r;
    if (smb.size() < byteCountAt + 2 + Le16(smb, byteCountAt)) return r;
    if (command == kCmdSendStart) {
        if (words > 1) return r;
        r.groupId = words == 1 ? Le16(smb, kHeader + 1) : 0;
    }
    r.answer = SmbAnswer::Ok;
    return r;
}

NET_API_STATUS StatusOf(const SessionResult& result) {
    switch (result.answer) {
        case SessionAnswer::Positive:
            return NERR_Success;
        case SessionAnswer::Negative:
            return result.errorCode == kCalledNameNotPresent ? NERR_NameNotFound
                                                             : ERROR_REQUEST_REFUSED;
        case SessionAnswer::Retarget:  // would need a second connection elsewhere: not followed
        case SessionAnswer::Malformed:
            break;
    }
    return NERR_NetworkError;
}

NET_API_STATUS StatusOf(const SmbResult& result) {
    switch (result.answer) {
        case SmbAnswer::Ok:
            return NERR_Success;
        case SmbAnswer::Error:
            return ERROR_REQUEST_REFUSED;
        case SmbAnswer::Malformed:
            break;
    }
    return NERR_NetworkError;
}

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// 0 when ready, ERROR_SEM_TIMEOUT when the deadline passed first, NERR_NetworkError on failure.
NET_API_STATUS WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ERROR_SEM_TIMEOUT;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) return NERR_Success;  // errors and hang-ups show in the read or write
        if (n < 0 && errno != EINTR) return NERR_NetworkError;
    }
}

NET_API_STATUS Connect(int fd, const sockaddr_in& address, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int err = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            if (const auto s = WaitFor(fd, POLLOUT, deadline); s != NERR_Success) return s;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
    }
    switch (err) {
        case 0:
            return NERR_Success;
        case ECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        default:
            return NERR_NetworkError;
    }
}

NET_API_STATUS SendAll(int fd, std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const auto s = WaitFor(fd, POLLOUT, deadline); s != NERR_Success) return s;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return NERR_NetworkError;
        }
    }
    return NERR_Success;
}

NET_API_STATUS ReadExact(int fd, unsigned char* out, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t n = recv(fd, out, size, 0);
        if (n > 0) {
            out += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0) {
            return NERR_NetworkError;  // closed by the receiver
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const auto s = WaitFor(fd, POLLIN, deadline); s != NERR_Success) return s;
        } else if (errno != EINTR) {
            return NERR_NetworkError;
        }
    }
    return NERR_Success;
}

// One session packet, header included; keep-alives are skipped. A packet of a type that cannot
// answer the request is refused at its header: its length may be anything.
NET_API_STATUS ReadPacket(int fd, std::vector<unsigned char>& packet, bool sessionAnswer,
                          Clock::time_point deadline) {
    for (;;) {
        unsigned char header[4];
        if (const auto s = ReadExact(fd, header, 4, deadline); s != NERR_Success) return s;
        const bool expected = sessionAnswer
                                  ? (header[0] == kSessionPositive ||
                                     header[0] == kSessionNegative || header[0] == kSessionRetarget)
                                  : header[0] == kSessionMessage;
        if (!expected && header[0] != kSessionKeepAlive) return NERR_NetworkError;
        const std::size_t length = SessionPayloadLength(std::span<const unsigned char, 4>(header));
        packet.assign(header, header + 4);
        packet.resize(4 + length);
        if (const auto s = ReadExact(fd, packet.data() + 4, length, deadline); s != NERR_Success) {
            return s;
        }
        if (header[0] != kSessionKeepAlive) return NERR_Success;
    }
}

class Conversation {
public:
    Conversation(int fd, int timeoutMs) : fd_(fd), timeout_(timeoutMs) {}

    NET_API_STATUS Session(const WireMessage& m) {
        const auto deadline = Clock::now() + timeout_;
        auto s = SendAll(fd_, BuildSessionRequest(m.calledName, m.calledSuffix, m.callingName),
                         deadline);
        if (s == NERR_Success) s = ReadPacket(fd_, reply_, true, deadline);
        return s == NERR_Success ? StatusOf(ParseSessionResponse(reply_)) : s;
    }

    // The frame to send and the command its reply must carry; groupId gets the reply's group.
    NET_API_STATUS Exchange(std::string_view frame, std::uint8_t command,
                            std::uint16_t* groupId = nullptr) {
        const auto deadline = Clock::now() + timeout_;
        auto s = SendAll(fd_, frame, deadline);
        if (s == NERR_Success) s = ReadPacket(fd_, reply_, false, deadline);
        if (s != NERR_Success) return s;
        const SmbResult r = ParseSmbReply(reply_, command);
        if (groupId) *groupId = r.groupId;
        return StatusOf(r);
    }

private:
    int fd_;
    std::chrono::milliseconds timeout_;
    std::vector<unsigned char> reply_;
};

}  // namespace

NET_API_STATUS Deliver(const sockaddr_in& address, const WireMessage& message, int timeoutMs) {
    Socket sock;
    if (sock.fd() < 0) return NERR_NetworkError;
    if (const auto s = Connect(sock.fd(), address, timeoutMs); s != NERR_Success) return s;
    const int one = 1;
    setsockopt(sock.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    Conversation talk(sock.fd(), timeoutMs);
    if (const auto s = talk.Session(message); s != NERR_Success) return s;
    const auto pid = static_cast<std::uint16_t>(getpid() & 0xFFFF);
    std::uint16_t mid = 0;
    std::uint16_t group = 0;
    if (const auto s = talk.Exchange(BuildStartFrame(message.from, message.to, pid, ++mid),
                                     kCmdSendStart, &group);
        s != NERR_Success) {
        return s;
    }
    for (const std::string_view block : SplitText(message.text)) {
        if (const auto s = talk.Exchange(BuildTextFrame(group, block, pid, ++mid), kCmdSendText);
            s != NERR_Success) {
            return s;
        }
    }
    return talk.Exchange(BuildEndFrame(group, pid, ++mid), kCmdSendEnd);
}

}  // namespace platform::messenger
