// A received message as the user sees it, and its record in the message log: decoding the wire
// bytes and writing or reading one record.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "messenger/Receiver.h"

namespace messenger {

struct Message {
    std::chrono::system_clock::time_point received;
    std::string peer;  // the sender's address, "a.b.c.d"
    std::string from;  // UTF-8
    std::string to;    // UTF-8
    std::string text;  // UTF-8, line breaks as LF
};

// CR LF, a lone CR, LF and the byte 0x14 each become one LF.
std::string NormalizeLineBreaks(std::string_view wire);

// True when iconv knows the code page and it keeps ASCII as single bytes, which the NUL-
// terminated fields of the protocol need.
bool UsableCodePage(const char* codePage);

// The wire fields in UTF-8 (bytes the code page lacks become U+FFFD), line breaks normalised
// in all of them.
Message DecodeMessage(const WireText& wire, const char* codePage);

// One log record, a single line ending in LF:
//   TIME TAB PEER TAB FROM TAB TO TAB TEXT
// TIME is local time as "YYYY-MM-DD HH:MM:SS +ZZZZ"; in the other fields a backslash, tab,
// line feed and carriage return are written \\, \t, \n, \r and every other control byte \xHH.
std::string FormatRecord(const Message& message);
// A record back (without its LF); nullopt when the line is not one. The time is read to the
// second.
std::optional<Message> ParseRecord(std::string_view line);

}  // namespace messenger
