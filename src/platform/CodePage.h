// Conversion between the program's 8-bit texts and Unicode.
//
// Texts the program keeps as 8-bit (captions, sender names, recipients, settings values) are
// Windows-1251 bytes. They become Unicode only at the edges: the Qt widgets, the file system
// and the network. glibc iconv does the work; where it has no answer we decide:
//  - byte 0x98, unassigned in Windows-1251, decodes to U+0098 and encodes back to 0x98, so any
//    byte sequence survives a round trip through Unicode;
//  - a character with no form in the target code page becomes '?', as the Windows conversion
//    calls do with their default character;
//  - malformed UTF-8 or UTF-16 input becomes '?' per bad unit.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::u16string Cp1251ToUtf16(std::string_view bytes);
std::string Utf16ToCp1251(std::u16string_view text);

std::string Cp1251ToUtf8(std::string_view bytes);
std::string Utf8ToCp1251(std::string_view utf8);

// Any code page iconv knows ("CP866", "CP1251", ...). Throws std::invalid_argument for an
// unknown name. Undecodable bytes become U+FFFD, unencodable characters '?'.
std::u16string CodePageToUtf16(std::string_view bytes, const char* codePage);
std::string Utf16ToCodePage(std::u16string_view text, const char* codePage);

}  // namespace platform
