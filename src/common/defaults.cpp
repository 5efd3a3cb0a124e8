#include "common/defaults.h"

#include <algorithm>
#include <cstdio>

#include "platform/CodePage.h"

std::int32_t DeltaClear = 5;
std::int32_t MaxSender = 5;
std::int32_t MaxThreads = 50;
std::int32_t MaxLineLog = 300;
std::string RecipientFile;
std::string HelpFile;
std::string FAQFile;

std::string Ansi(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

namespace {

std::string Substitute(std::string_view format, std::initializer_list<std::string_view> args) {
    std::string out;
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && (format[i + 1] == 's' || format[i + 1] == 'd') &&
            next != args.end()) {
            out += *next++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace

std::string FormatMessage(std::string_view format, std::string_view arg) {
    return Substitute(format, {arg});
}

std::string FormatMessage(std::string_view format, std::string_view arg1, std::string_view arg2) {
    return Substitute(format, {arg1, arg2});
}

namespace {

bool IsWholeNumber(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsZero(std::string_view s) {
    return IsWholeNumber(s) && std::all_of(s.begin(), s.end(), [](char c) { return c == '0'; });
}

}  // namespace

std::string ShortenFileVersion(const std::string& fileVersion) {
    // A version without any "." keeps its only component.
    auto last = fileVersion.rfind('.');
    std::string s = last == std::string::npos ? fileVersion : fileVersion.substr(0, last);
    auto dot = s.rfind('.');
    std::string_view c = dot == std::string::npos ? std::string_view(s) : std::string_view(s).substr(dot + 1);
    if (IsZero(c)) s = dot == std::string::npos ? std::string() : s.substr(0, dot);
    return s;
}

std::string GetVersionStringFromBlock(const platform::VersionBlock& block, bool full) {
    if (block.empty()) return {};
    std::string translation;
    std::string key;
    if (platform::VerQueryValueA(block, "\\VarFileInfo\\Translation", translation) &&
        translation.size() >= 4) {
        auto word = [&](std::size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(translation[at])) |
                   static_cast<unsigned>(static_cast<unsigned char>(translation[at + 1])) << 8;
        };
        char buf[9];
        std::snprintf(buf, sizeof buf, "%04X%04X", word(0), word(2));
        key = buf;
    }
    std::string fileVersion, productName;
    if (!platform::VerQueryValueA(block, "StringFileInfo\\" + key + "\\FileVersion", fileVersion))
        fileVersion.clear();
    if (!platform::VerQueryValueA(block, "StringFileInfo\\" + key + "\\ProductName", productName))
        productName.clear();
    if (productName.size() > 255) productName.resize(255);
    return productName + " " + (full ? fileVersion : ShortenFileVersion(fileVersion));
}

std::string GetVersionString(bool full) {
    const std::string exe = platform::ExecutablePath();
    if (platform::GetFileVersionInfoSizeA(exe) == 0) return {};
    platform::VersionBlock block;
    if (!platform::GetFileVersionInfoA(exe, block)) return {};
    return GetVersionStringFromBlock(block, full);
}

std::string ReadRegString(platform::HKEY root, const std::string& key, const std::string& valueName) {
    using namespace platform;
    using namespace platform::reg;
    HKEY opened{};
    // Reading needs no more access than KEY_READ.
    if (RegOpenKeyEx(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
    std::string text;
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueEx(opened, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size > 0 && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::string data(size, '\0');
        if (RegQueryValueEx(opened, valueName.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            data.resize(size);
            text = data.substr(0, data.find('\0'));
        }
    }
    RegCloseKey(opened);
    return text;
}
