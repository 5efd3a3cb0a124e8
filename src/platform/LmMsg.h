// Network messaging: NetMessageBufferSend, delivered here by our own client of the messenger
// protocol (NetBIOS session service on TCP port 139, SMB1 multi-block message commands).
//
// Configuration, read from the environment at every call:
//   QUORVEL_MESSENGER_PORT      TCP port of the receivers (default 139)
//   QUORVEL_MESSENGER_CODEPAGE  code page of the text on the wire (default CP866)
//   QUORVEL_MESSENGER_TIMEOUT   connect and reply timeout in milliseconds (default 3000 each)
// A missing or invalid value gives the default (the code page must be one iconv knows that keeps
// ASCII as single bytes); the timeout bounds the connect and each request-reply step on its own.
//
// How the arguments reach the wire:
//  - msgname: a dotted IPv4 address is connected to directly and, since no receiver registers an
//    address as its name, the session calls the wildcard server name "*SMBSERVER" (suffix 0x20),
//    which Samba answers (and reports as its own address). Any other name is resolved (IPv4 only;
//    the resolver's own waiting is not bounded by the timeout) and called as itself,
//    upper-cased, suffix 0x03. "*" and names ending in '*' are broadcasts: ERROR_NOT_SUPPORTED.
//    A null or empty msgname is ERROR_INVALID_PARAMETER.
//  - Names on the wire hold at most 15 bytes in the wire code page: the called name, the
//    recipient and the sender are cut there, between characters. A null or empty fromname sends
//    this computer's name (host name up to the first dot, upper-cased).
//  - The text is converted as a whole, CR LF kept, and sent in blocks of at most 127 bytes. An
//    empty text sends no block at all (Samba refuses an empty one) and is delivered as empty.
#pragma once

#include <cstdint>

namespace platform {

using NET_API_STATUS = std::uint32_t;

inline constexpr NET_API_STATUS NERR_Success = 0;
inline constexpr NET_API_STATUS ERROR_NOT_SUPPORTED = 50;         // broadcast recipients
inline constexpr NET_API_STATUS ERROR_INVALID_PARAMETER = 87;     // no recipient, bad buffer
inline constexpr NET_API_STATUS ERROR_SEM_TIMEOUT = 121;          // no answer in time
inline constexpr NET_API_STATUS ERROR_CONNECTION_REFUSED = 1225;  // nothing listens there
inline constexpr NET_API_STATUS NERR_NetworkError = 2136;         // the exchange broke off
inline constexpr NET_API_STATUS NERR_NameNotFound = 2273;         // the name is unknown
inline constexpr NET_API_STATUS ERROR_REQUEST_REFUSED = 4320;     // the receiver said no

// Sends the message in buf (UTF-16, buflen bytes: the text is the first buflen / 2 characters)
// from fromname to msgname (both zero-terminated UTF-16). servername must be null: the local
// computer sends. Returns NERR_Success once the receiver has accepted the end of the message.
// Safe to call from several threads at once.
NET_API_STATUS NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                    const char16_t* fromname, const unsigned char* buf,
                                    std::uint32_t buflen);

}  // namespace platform
