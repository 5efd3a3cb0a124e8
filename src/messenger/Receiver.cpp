#include "messenger/Receiver.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/posix/MessengerClient.h"

namespace messenger {

namespace {

namespace wire = platform::messenger;

constexpr std::uint8_t kSessionRequest = 0x81;
constexpr std::size_t kSmbHeader = 32;
// Two first-level encoded names with their scopes: 2 * (1 + 32 + 255 + 1) at the very most.
constexpr std::size_t kMaxSessionRequest = 578;
constexpr std::uint8_t kFlagReply = 0x80;

constexpr std::uint8_t kFormatString = 0x04;
constexpr std::uint8_t kFormatBlock = 0x01;
constexpr std::uint8_t kFormatDialect = 0x02;

constexpr std::string_view kDialectNt1 = "NT LM 0.12";
constexpr std::string_view kDialectCore = "PC NETWORK PROGRAM 1.0";

std::uint16_t Le16(std::span<const unsigned char> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void PutLe16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void PutLe32(std::string& out, std::uint32_t v) {
    PutLe16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    PutLe16(out, static_cast<std::uint16_t>(v >> 16));
}

std::string SessionHeader(std::uint8_t type, std::size_t length) {
    std::string h(4, '\0');
    h[0] = static_cast<char>(type);
    h[1] = static_cast<char>((length >> 16) & 0x01);
    h[2] = static_cast<char>((length >> 8) & 0xFF);
    h[3] = static_cast<char>(length & 0xFF);
    return h;
}

// The reply to the request frame req: its command, PID, TID, UID and MID, our status (DOS form:
// class, reserved, code) and parameter words; replies carry no data bytes.
std::string SmbReply(std::span<const unsigned char> req, std::uint8_t errorClass,
                     std::uint16_t errorCode, std::string_view words = {}) {
    std::string smb("\xFFSMB", 4);
    smb.push_back(static_cast<char>(req[4]));
    smb.push_back(static_cast<char>(errorClass));
    smb.push_back('\0');
    PutLe16(smb, errorCode);
    smb.push_back(static_cast<char>(kFlagReply));
    PutLe16(smb, 0);                                                // flags2: plain DOS form
    smb.append(reinterpret_cast<const char*>(req.data()) + 12, 2);  // PID high
    smb.append(8 + 2, '\0');                                        // signature, reserved
    smb.append(reinterpret_cast<const char*>(req.data()) + 24, 8);  // TID, PID, UID, MID
    smb.push_back(static_cast<char>(words.size() / 2));
    smb.append(words);
    PutLe16(smb, 0);
    return SessionHeader(wire::kSessionMessage, smb.size()) + smb;
}

std::string Ok(std::span<const unsigned char> req, std::string_view words = {}) {
    return SmbReply(req, 0, 0, words);
}

// Reads the data area of a message command: format bytes, NUL-terminated strings, blocks.
class DataReader {
public:
    explicit DataReader(std::span<const unsigned char> data) : data_(data) {}

    // A format byte, then a NUL-terminated string of at most maxBytes.
    std::optional<std::string> String(std::uint8_t format, std::size_t maxBytes) {
        if (at_ >= data_.size() || data_[at_] != format) return std::nullopt;
        const auto begin = data_.begin() + static_cast<std::ptrdiff_t>(at_ + 1);
        const auto nul = std::find(begin, data_.end(), 0);
        if (nul == data_.end()) return std::nullopt;
        const auto size = static_cast<std::size_t>(nul - begin);
        if (size > maxBytes) return std::nullopt;
        at_ += 1 + size + 1;
        return std::string(begin, nul);
    }

    // 0x01, a 16-bit length, that many bytes; nullopt when the length runs past the data.
    std::optional<std::span<const unsigned char>> Block() {
        if (data_.size() - at_ < 3 || data_[at_] != kFormatBlock) return std::nullopt;
        const std::size_t size = Le16(data_, at_ + 1);
        if (data_.size() - at_ - 3 < size) return std::nullopt;
        const auto block = data_.subspan(at_ + 3, size);
        at_ += 3 + size;
        return block;
    }

    bool AtEnd() const { return at_ == data_.size(); }

private:
    std::span<const unsigned char> data_;
    std::size_t at_ = 0;
};

// One first-level encoded NetBIOS name with its scope labels, from at; the offset after it.
std::optional<std::size_t> SkipEncodedName(std::span<const unsigned char> p, std::size_t at) {
    if (at >= p.size() || p[at] != 0x20 || p.size() - at < 33) return std::nullopt;
    for (std::size_t i = at + 1; i < at + 33; ++i) {
        if (p[i] < 'A' || p[i] > 'P') return std::nullopt;
    }
    at += 33;
    std::size_t total = 33;
    for (;;) {
        if (at >= p.size()) return std::nullopt;
        const std::size_t label = p[at];
        if (label == 0) return at + 1;
        if (label > 63) return std::nullopt;
        total += 1 + label;
        if (total > 255 || p.size() - at - 1 < label) return std::nullopt;
        at += 1 + label;
    }
}

}  // namespace

SessionParser::SessionParser(Limits limits) : limits_(limits) {}

void SessionParser::Feed(std::span<const unsigned char> data, std::vector<Event>& events) {
    // Whole packets are taken straight from data; only a packet split across calls is copied.
    std::span<const unsigned char> rest = data;
    while (!closed_) {
        if (pending_.empty()) {
            if (rest.empty()) return;
            if (rest.size() < 4) {
                pending_.assign(rest.begin(), rest.end());
                return;
            }
            if (!HeaderAcceptable(rest.first<4>(), events)) return;
            const std::size_t total = 4 + wire::SessionPayloadLength(rest.first<4>());
            if (rest.size() < total) {
                pending_.assign(rest.begin(), rest.end());
                return;
            }
            Packet(rest.first(total), events);
            rest = rest.subspan(total);
            continue;
        }
        if (pending_.size() < 4) {
            const std::size_t take = std::min(4 - pending_.size(), rest.size());
            pending_.insert(pending_.end(), rest.begin(), rest.begin() + take);
            rest = rest.subspan(take);
            if (pending_.size() < 4) return;
            if (!HeaderAcceptable(std::span<const unsigned char, 4>(pending_.data(), 4), events)) {
                return;
            }
        }
        const std::size_t total =
            4 + wire::SessionPayloadLength(std::span<const unsigned char, 4>(pending_.data(), 4));
        const std::size_t take = std::min(total - pending_.size(), rest.size());
        pending_.insert(pending_.end(), rest.begin(), rest.begin() + take);
        rest = rest.subspan(take);
        if (pending_.size() < total) return;
        std::vector<unsigned char> whole;
        whole.swap(pending_);
        Packet(whole, events);
    }
}

bool SessionParser::HeaderAcceptable(std::span<const unsigned char, 4> header,
                                     std::vector<Event>& events) {
    const std::uint8_t type = header[0];
    const std::size_t length = wire::SessionPayloadLength(header);
    const bool knownType =
        type == wire::kSessionMessage || type == kSessionRequest || type == wire::kSessionKeepAlive;
    // Refused at the header: nothing is gained by waiting for the rest.
    if (!knownType || (header[1] & 0xFE) != 0 || length > limits_.maxFramePayload ||
        (type == wire::kSessionKeepAlive && length != 0)) {
        Close(events);
        return false;
    }
    if (type == kSessionRequest) {
        if (sessionDone_ || smbSeen_) {  // the session is already there
            Close(events);
            return false;
        }
        if (length > kMaxSessionRequest) {
            NegativeSession(events);
            return false;
        }
    }
    return true;
}

void SessionParser::NegativeSession(std::vector<Event>& events) {
    events.push_back({Event::Kind::Reply,
                      SessionHeader(wire::kSessionNegative, 1) + char(kSessionUnspecifiedError),
                      {},
                      {}});
    Close(events);
}

void SessionParser::Close(std::vector<Event>& events) {
    closed_ = true;
    inMessage_ = false;
    pending_.clear();
    events.push_back({Event::Kind::Close, {}, {}, {}});
}

void SessionParser::Packet(std::span<const unsigned char> packet, std::vector<Event>& events) {
    const auto payload = packet.subspan(4);
    switch (packet[0]) {
        case kSessionRequest:
            SessionRequest(payload, events);
            break;
        case wire::kSessionMessage:
            smbSeen_ = true;
            Smb(payload, events);
            break;
        default:  // keep-alive
            break;
    }
}

void SessionParser::SessionRequest(std::span<const unsigned char> payload,
                                   std::vector<Event>& events) {
    const auto called = SkipEncodedName(payload, 0);
    const auto calling = called ? SkipEncodedName(payload, *called) : std::nullopt;
    if (!calling || *calling != payload.size()) return NegativeSession(events);
    // Every name is ours: the messages go to whoever runs this receiver.
    sessionDone_ = true;
    events.push_back({Event::Kind::Reply, SessionHeader(wire::kSessionPositive, 0), {}, {}});
}

void SessionParser::Smb(std::span<const unsigned char> smb, std::vector<Event>& events) {
    if (smb.size() < kSmbHeader + 1 || smb[0] != 0xFF || smb[1] != 'S' || smb[2] != 'M' ||
        smb[3] != 'B' || (smb[9] & kFlagReply)) {
        Close(events);
        return;
    }
    auto reply = [&](std::string bytes) {
        events.push_back({Event::Kind::Reply, std::move(bytes), {}, {}});
    };
    auto refuse = [&](std::uint8_t errorClass, std::uint16_t code) {
        inMessage_ = false;
        reply(SmbReply(smb, errorClass, code));
    };
    const std::size_t words = smb[kSmbHeader];
    const std::size_t byteCountAt = kSmbHeader + 1 + 2 * words;
    if (smb.size() < byteCountAt + 2 || smb.size() - byteCountAt - 2 < Le16(smb, byteCountAt)) {
        refuse(kErrSrv, kErrGeneral);
        Close(events);
        return;
    }
    const auto data = smb.subspan(byteCountAt + 2, Le16(smb, byteCountAt));
    const std::uint16_t word0 = words >= 1 ? Le16(smb, kSmbHeader + 1) : 0;
    DataReader in(data);

    switch (smb[4]) {
        case kCmdNegotiate: {
            std::optional<std::uint16_t> nt1, core;
            std::uint16_t index = 0;
            while (!in.AtEnd()) {
                const auto dialect = in.String(kFormatDialect, 255);
                if (!dialect) return refuse(kErrDos, kErrInvalidParameter);
                if (*dialect == kDialectNt1 && !nt1) nt1 = index;
                if (*dialect == kDialectCore && !core) core = index;
                if (index == 0xFFFE) return refuse(kErrDos, kErrInvalidParameter);
                ++index;
            }
            std::string w;
            if (nt1) {
                // No security, no capabilities: just enough for the message commands.
                PutLe16(w, *nt1);
                w.push_back('\0');  // SecurityMode: share level, plain text
                PutLe16(w, 1);      // MaxMpxCount
                PutLe16(w, 1);      // MaxNumberVcs
                PutLe32(w, static_cast<std::uint32_t>(std::min<std::size_t>(
                               limits_.maxFramePayload, 0xFFFF)));  // MaxBufferSize
                PutLe32(w, 0);                                      // MaxRawSize
                PutLe32(w, 0);                                      // SessionKey
                PutLe32(w, 0);                                      // Capabilities
                PutLe32(w, static_cast<std::uint32_t>(fileTime_ & 0xFFFFFFFF));
                PutLe32(w, static_cast<std::uint32_t>(fileTime_ >> 32));
                PutLe16(w, 0);      // ServerTimeZone
                w.push_back('\0');  // ChallengeLength
            } else {
                PutLe16(w, core ? *core : 0xFFFF);  // 0xFFFF: none of them
            }
            return reply(Ok(smb, w));
        }
        case kCmdSendSingle: {
            const auto from = in.String(kFormatString, limits_.maxNameBytes);
            const auto to = from ? in.String(kFormatString, limits_.maxNameBytes) : std::nullopt;
            const auto text = to ? in.Block() : std::nullopt;
            if (!text) {
                reply(SmbReply(smb, kErrDos, kErrInvalidParameter));
                return;
            }
            if (text->size() > limits_.maxTextBytes) {
                reply(SmbReply(smb, kErrSrv, kErrNoRoom));
                return;
            }
            // A single-block message stands alone: a multi-block one under way goes on.
            events.push_back({Event::Kind::Message,
                              Ok(smb),
                              SmbReply(smb, kErrSrv, kErrNoRoom),
                              {*from, *to, std::string(text->begin(), text->end())}});
            return;
        }
        case wire::kCmdSendStart: {
            const auto from = in.String(kFormatString, limits_.maxNameBytes);
            const auto to = from ? in.String(kFormatString, limits_.maxNameBytes) : std::nullopt;
            if (!to) return refuse(kErrDos, kErrInvalidParameter);
            // A start in the middle of another message begins again.
            current_ = {*from, *to, {}};
            inMessage_ = true;
            group_ = nextGroup_++;
            if (nextGroup_ == 0) nextGroup_ = 1;
            std::string w;
            PutLe16(w, group_);
            return reply(Ok(smb, w));
        }
        case wire::kCmdSendText: {
            if (!inMessage_ || words != 1 || word0 != group_) {
                return refuse(kErrDos, kErrInvalidParameter);
            }
            const auto block = in.Block();
            if (!block) return refuse(kErrDos, kErrInvalidParameter);
            if (current_.text.size() + block->size() > limits_.maxTextBytes) {
                return refuse(kErrSrv, kErrNoRoom);
            }
            current_.text.append(block->begin(), block->end());
            return reply(Ok(smb));
        }
        case wire::kCmdSendEnd: {
            if (!inMessage_ || words != 1 || word0 != group_) {
                return refuse(kErrDos, kErrInvalidParameter);
            }
            inMessage_ = false;
            events.push_back({Event::Kind::Message, Ok(smb), SmbReply(smb, kErrSrv, kErrNoRoom),
                              std::move(current_)});
            current_ = {};
            return;
        }
        default:
            // Anything else (sessions, files, forwarding names) this receiver does not serve.
            reply(SmbReply(smb, kErrSrv, kErrUnknownCommand));
            return;
    }
}

}  // namespace messenger
