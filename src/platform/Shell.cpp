#include "platform/Shell.h"

namespace platform {

namespace {

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// "scheme:" with a scheme of two characters or more, so a drive letter ("C:") is not one.
bool HasScheme(std::string_view s) {
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon < 2 || !IsAsciiAlpha(s[0])) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = s[i];
        if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// Characters a URL path may carry as they are; everything else is percent-encoded byte by
// byte (UTF-8 included).
bool IsPathChar(char c) {
    constexpr std::string_view kMarks = "/-._~!$&'()*+,;=:@";
    return IsAsciiAlpha(c) || IsAsciiDigit(c) || kMarks.find(c) != std::string_view::npos;
}

std::string FileUrl(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const char c : path) {
        if (IsPathChar(c)) {
            url += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            url += '%';
            url += kHex[b >> 4];
            url += kHex[b & 0x0F];
        }
    }
    return url;
}

std::string_view TrimBlanks(std::string_view s) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::string ShellTargetUrl(std::string_view target) {
    const std::string_view t = TrimBlanks(target);
    if (t.empty()) return {};  // nothing to open
    if (HasScheme(t)) return std::string(t);
    if (t.front() == '/') return FileUrl(t);
    return "http://" + std::string(t);
}

}  // namespace platform
