// Profile (INI) files, read and written the way the Windows profile calls do it.
//
// Sections and keys compare without regard to ASCII case. Lines may end in LF or CR LF; every
// line the program writes ends in CR LF. Bytes are never converted, so Windows-1251 text stays
// as it is.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Size of the caller's buffer in the Windows call: a value is read up to one less characters.
inline constexpr std::size_t kProfileBufferSize = 2048;

// The value of [section] key= in the file at path, with blanks and tabs trimmed from both ends
// and one pair of enclosing quotes removed; `def` when the file, the section or the key is
// missing. A key present with an empty value gives an empty text. The result holds at most
// kProfileBufferSize - 1 characters.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& path);

// Sets [section] key=value, creating the file and the section when missing and keeping every
// other line in its order. The file is replaced atomically (temporary file in the same folder,
// then rename), so a failure never leaves a half-written file. A file without any write
// permission bit counts as read-only and is not written, even for root.
// Returns false on failure with errno set.
bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path);

}  // namespace platform
