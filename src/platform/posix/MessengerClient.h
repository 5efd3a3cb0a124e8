// The pieces of our messenger protocol client: reading the configuration, turning the caller's
// names and text into wire bytes, building the frames, parsing the replies (pure functions over
// bytes, so they can be tested and fuzzed alone) and the conversation over one TCP connection.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LmMsg.h"

namespace platform::messenger {

inline constexpr std::uint16_t kDefaultPort = 139;
inline constexpr const char* kDefaultCodePage = "CP866";
inline constexpr int kDefaultTimeoutMs = 3000;
// NetBIOS names and the name fields of the start frame hold at most 15 bytes.
inline constexpr std::size_t kNameBytes = 15;
inline constexpr std::size_t kTextBlockBytes = 127;

inline constexpr std::uint8_t kSuffixMessenger = 0x03;
inline constexpr std::uint8_t kSuffixWorkstation = 0x00;
inline constexpr std::uint8_t kSuffixServer = 0x20;
inline constexpr std::string_view kAnyServerName = "*SMBSERVER";

inline constexpr std::uint8_t kCmdSendStart = 0xD5;
inline constexpr std::uint8_t kCmdSendEnd = 0xD6;
inline constexpr std::uint8_t kCmdSendText = 0xD7;

struct Config {
    std::uint16_t port = kDefaultPort;
    std::string codePage = kDefaultCodePage;
    int timeoutMs = kDefaultTimeoutMs;
};

// The QUORVEL_MESSENGER_* variables; a missing or invalid value gives the default.
Config ReadConfig();

// The first buflen / 2 UTF-16 units of buf (which need not be aligned).
std::u16string TextFromBuffer(const unsigned char* buf, std::uint32_t buflen);

// "*" and names ending in '*' address a group through datagrams.
bool IsBroadcastName(std::u16string_view name);

// Latin and Cyrillic letters upper-cased; everything else kept.
std::u16string UpperCaseName(std::u16string_view name);

// The text in the code page, cut to at most maxBytes without splitting a character.
std::string EncodeCut(std::u16string_view text, const char* codePage, std::size_t maxBytes);

// This computer's name: the first label of the host name, upper-cased, at most 15 wire bytes.
std::string LocalComputerName(const char* codePage);

// Everything that goes on the wire for one message, already in the wire code page.
struct WireMessage {
    std::string calledName;  // at most 15 bytes, unpadded
    std::uint8_t calledSuffix = kSuffixMessenger;
    std::string callingName;  // at most 15 bytes, unpadded
    std::string from;         // at most 15 bytes
    std::string to;           // at most 15 bytes
    std::string text;         // whole text, any length
};

// recipientIsAddress: the recipient is a dotted address, so nobody carries it as a name and the
// wildcard server name is called instead. An empty sender becomes the computer name.
WireMessage PrepareMessage(std::u16string_view recipient, bool recipientIsAddress,
                           std::u16string_view from, std::u16string_view text, const char* codePage,
                           std::string_view computerName);

// --- Frames ---------------------------------------------------------------------------------

// Blank-padded to 15 bytes plus suffix, first-level encoded: 0x20, 32 letters, 0x00.
std::string EncodeNetbiosName(std::string_view name, std::uint8_t suffix);
std::string BuildSessionRequest(std::string_view called, std::uint8_t calledSuffix,
                                std::string_view calling);
std::string BuildStartFrame(std::string_view from, std::string_view to, std::uint16_t pid,
                            std::uint16_t mid);
std::string BuildTextFrame(std::uint16_t groupId, std::string_view block, std::uint16_t pid,
                           std::uint16_t mid);
std::string BuildEndFrame(std::uint16_t groupId, std::uint16_t pid, std::uint16_t mid);
// Consecutive pieces of at most maxBytes; none for an empty text.
std::vector<std::string_view> SplitText(std::string_view wire,
                                        std::size_t maxBytes = kTextBlockBytes);

// --- Replies --------------------------------------------------------------------------------

inline constexpr std::uint8_t kSessionMessage = 0x00;
inline constexpr std::uint8_t kSessionPositive = 0x82;
inline constexpr std::uint8_t kSessionNegative = 0x83;
inline constexpr std::uint8_t kSessionRetarget = 0x84;
inline constexpr std::uint8_t kSessionKeepAlive = 0x85;
inline constexpr std::uint8_t kCalledNameNotPresent = 0x82;

// Payload length announced by a 4-byte session header (17 bits).
std::size_t SessionPayloadLength(std::span<const unsigned char, 4> header);

enum class SessionAnswer { Positive, Negative, Retarget, Malformed };
struct SessionResult {
    SessionAnswer answer = SessionAnswer::Malformed;
    std::uint8_t errorCode = 0;  // for Negative
};
// packet: one whole session packet, header included.
SessionResult ParseSessionResponse(std::span<const unsigned char> packet);

enum class SmbAnswer { Ok, Error, Malformed };
struct SmbResult {
    SmbAnswer answer = SmbAnswer::Malformed;
    std::uint32_t status = 0;  // for Error: DOS class in the low byte, code in the high half
    std::uint16_t groupId = 0;
};
// packet: one whole session message (type 0x00), header included.
SmbResult ParseSmbReply(std::span<const unsigned char> packet, std::uint8_t command);

// The status the reply stands for, or NERR_Success to go on.
NET_API_STATUS StatusOf(const SessionResult& result);
NET_API_STATUS StatusOf(const SmbResult& result);

// --- Conversation ---------------------------------------------------------------------------

// Connects to address (port included) and sends the message; each step (the connect, every
// request and its reply) waits at most timeoutMs.
NET_API_STATUS Deliver(const sockaddr_in& address, const WireMessage& message, int timeoutMs);

}  // namespace platform::messenger
