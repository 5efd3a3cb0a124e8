// The receiving side of the messenger protocol as a pure function of the bytes a peer sends:
// one SessionParser per connection turns what arrives into the answers to send back and the
// messages to store. No sockets, no clocks, no code pages: those belong to the caller.
//
// What it accepts, in this order or any sensible repetition of it:
//  - an optional NetBIOS session request (0x81), answered 0x82, or 0x83 with "unspecified
//    error" when the names in it are malformed (the connection then ends); peers on a port
//    other than 139 often start with SMB frames at once, which is accepted too;
//  - keep-alives (0x85), ignored;
//  - SMB1 frames in session messages (0x00): negotiate (0x72), the single-block message
//    (0xD0, with or without a negotiate first) and the multi-block sequence 0xD5 / 0xD7... /
//    0xD6. Every frame gets exactly one reply; a message is complete when its 0xD0 or 0xD6 is.
//
// What it refuses:
//  - a session packet of another type, a length with reserved flag bits set, a payload longer
//    than the frame limit, a second session request, or an SMB frame whose header cannot be
//    read: the connection ends without a reply;
//  - an SMB frame whose word or byte counts run past its end: an error reply, then the end;
//  - a well-formed frame with a bad body, an out-of-sequence block, a text over the limit or
//    an unknown command: an error reply in DOS form, and the connection goes on. A message in
//    progress is dropped when its sequence breaks (an error, a new 0xD5, or the connection's
//    end); only completed messages are ever reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace messenger {

// The NetBIOS length field holds 17 bits: 128 KiB less one byte is the most a frame can say.
inline constexpr std::size_t kMaxFramePayload = 0x1FFFF;

struct Limits {
    std::size_t maxFramePayload = kMaxFramePayload;  // session packet payload, bytes
    std::size_t maxTextBytes = 64 * 1024;            // one message's text on the wire
    std::size_t maxNameBytes = 255;                  // sender and recipient fields
};

// A completed message, still in the wire code page, line breaks as sent.
struct WireText {
    std::string from;
    std::string to;
    std::string text;
};

// SMB1 command codes the receiver knows.
inline constexpr std::uint8_t kCmdNegotiate = 0x72;
inline constexpr std::uint8_t kCmdSendSingle = 0xD0;

// DOS error classes and codes of the replies.
inline constexpr std::uint8_t kErrDos = 0x01;
inline constexpr std::uint8_t kErrSrv = 0x02;
inline constexpr std::uint16_t kErrInvalidParameter = 87;  // ERRDOS: bad body, out of sequence
inline constexpr std::uint16_t kErrGeneral = 1;            // ERRSRV: a frame we cannot read
inline constexpr std::uint16_t kErrUnknownCommand = 64;    // ERRSRV: command not recognised
inline constexpr std::uint16_t kErrNoRoom = 83;            // ERRSRV: no room for the message

// NetBIOS negative session response code for a request we cannot make sense of.
inline constexpr std::uint8_t kSessionUnspecifiedError = 0x8F;

struct Event {
    enum class Kind {
        Reply,    // send bytes
        Message,  // store message; then send bytes on success, or failure when it failed
        Close,    // end the connection after sending what came before
    };
    Kind kind = Kind::Reply;
    std::string bytes;
    std::string failure;
    WireText message;
};

class SessionParser {
public:
    explicit SessionParser(Limits limits = {});

    // Consumes data, which may hold any part of any number of packets, and appends to events
    // what it asks for, in order. After a Close event everything further is ignored.
    void Feed(std::span<const unsigned char> data, std::vector<Event>& events);

    // A packet has begun and not ended yet.
    bool MidPacket() const { return !pending_.empty(); }
    // A multi-block message has begun and not ended yet.
    bool MidMessage() const { return inMessage_; }
    bool Closed() const { return closed_; }

    // The time a negotiate reply reports (Windows FILETIME: 100 ns units since 1601).
    void SetFileTime(std::uint64_t fileTime) { fileTime_ = fileTime; }

private:
    bool HeaderAcceptable(std::span<const unsigned char, 4> header, std::vector<Event>& events);
    void NegativeSession(std::vector<Event>& events);
    void Packet(std::span<const unsigned char> packet, std::vector<Event>& events);
    void SessionRequest(std::span<const unsigned char> payload, std::vector<Event>& events);
    void Smb(std::span<const unsigned char> smb, std::vector<Event>& events);
    void Close(std::vector<Event>& events);

    Limits limits_;
    std::vector<unsigned char> pending_;  // the start of a packet not yet whole
    bool sessionDone_ = false;
    bool smbSeen_ = false;
    bool closed_ = false;
    bool inMessage_ = false;
    std::uint16_t group_ = 0;
    std::uint16_t nextGroup_ = 1;
    WireText current_;
    std::uint64_t fileTime_ = 0;
};

}  // namespace messenger
