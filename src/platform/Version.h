// The executable's version resource. There is no resource section here: the values are
// compiled in (from the build's project version) and served as a block in our own encoding,
// queried with the sub-block paths the Windows version calls use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

using VersionBlock = std::vector<unsigned char>;

// Size of the version resource of the executable at path; 0 when it has none. Only the running
// executable has one.
std::uint32_t GetFileVersionInfoSizeA(const std::string& path);

// Copies the resource of the executable at path into block. False when there is none.
bool GetFileVersionInfoA(const std::string& path, VersionBlock& block);

// Looks up "\VarFileInfo\Translation" (value: 4 bytes per entry, language word then code-page
// word, little-endian) or "\StringFileInfo\<key>\<name>" (value: the string's bytes). Leading
// backslashes are optional and names compare without regard to case. False when absent.
bool VerQueryValueA(const VersionBlock& block, std::string_view subBlock, std::string& value);

// Builds a block; used for the compiled-in resource and by tests.
struct VersionStrings {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;  // (language, code page)
    // (string-block key such as "041904E3", name such as "FileVersion", value)
    struct Entry {
        std::string block, name, value;
    };
    std::vector<Entry> strings;
};
VersionBlock MakeVersionBlock(const VersionStrings& strings);

// Full path of the running executable.
std::string ExecutablePath();

}  // namespace platform
