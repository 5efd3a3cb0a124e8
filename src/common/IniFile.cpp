#include "common/IniFile.h"

#include "common/defaults.h"
#include "platform/Profile.h"

namespace {

std::optional<std::uint32_t> ParseDigits(std::string_view s, unsigned base, std::uint64_t limit) {
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return std::nullopt;
        value = value * base + d;
        if (value > limit) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
    bool negative = false;
    std::string_view s = text;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    bool hex = false;
    if (!s.empty() && s[0] == '$') {
        hex = true;
        s.remove_prefix(1);
    } else if (text.size() > 2 && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    }
    if (hex) {
        auto v = ParseDigits(s, 16, 0xFFFFFFFFull);
        if (!v) return std::nullopt;
        auto pattern = static_cast<std::int32_t>(*v);
        return negative ? static_cast<std::int32_t>(0u - *v) : pattern;
    }
    auto v = ParseDigits(s, 10, negative ? 2147483648ull : 2147483647ull);
    if (!v) return std::nullopt;
    return negative ? static_cast<std::int32_t>(0u - *v) : static_cast<std::int32_t>(*v);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    return platform::GetPrivateProfileString(section, key, def, path_);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t def) const {
    return ParseIniInteger(ReadString(section, key, "")).value_or(def);
}

void TIniFile::WriteString(std::string_view section, std::string_view key,
                           std::string_view value) {
    if (!platform::WritePrivateProfileString(section, key, value, path_))
        throw EIniFileException(FormatMessage(msg::UnableToWrite, path_));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}
