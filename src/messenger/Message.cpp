#include "messenger/Message.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <vector>

#include "platform/CodePage.h"

namespace messenger {

namespace {

std::string ToUtf8(std::string_view wire, const char* codePage) {
    return platform::Utf16ToCodePage(platform::CodePageToUtf16(NormalizeLineBreaks(wire), codePage),
                                     "UTF-8");
}

void AppendEscaped(std::string& out, std::string_view field) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : field) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0x0F];
                } else {
                    out += c;
                }
        }
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (++i == field.size()) return std::nullopt;
        switch (field[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 'x': {
                if (field.size() - i < 3) return std::nullopt;
                const int hi = HexDigit(field[i + 1]);
                const int lo = HexDigit(field[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

}  // namespace

std::string NormalizeLineBreaks(std::string_view wire) {
    std::string out;
    out.reserve(wire.size());
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const char c = wire[i];
        if (c == '\r') {
            if (i + 1 < wire.size() && wire[i + 1] == '\n') ++i;
            out += '\n';
        } else if (c == '\x14') {
            out += '\n';
        } else {
            out += c;
        }
    }
    return out;
}

bool UsableCodePage(const char* codePage) {
    if (!codePage || !*codePage) return false;
    try {
        return platform::Utf16ToCodePage(u"A0", codePage) == "A0";
    } catch (const std::exception&) {
        return false;
    }
}

Message DecodeMessage(const WireText& wire, const char* codePage) {
    Message m;
    m.from = ToUtf8(wire.from, codePage);
    m.to = ToUtf8(wire.to, codePage);
    m.text = ToUtf8(wire.text, codePage);
    return m;
}

std::string FormatRecord(const Message& message) {
    const std::time_t t = std::chrono::system_clock::to_time_t(message.received);
    std::tm local{};
    localtime_r(&t, &local);
    char when[64];
    const std::size_t n = std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", &local);
    std::string out(when, n);
    out.reserve(out.size() + message.text.size() + 64);
    for (const std::string* field : {&message.peer, &message.from, &message.to, &message.text}) {
        out += '\t';
        AppendEscaped(out, *field);
    }
    out += '\n';
    return out;
}

std::optional<Message> ParseRecord(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string_view::npos ? tab : tab - at));
        if (tab == std::string_view::npos) break;
        at = tab + 1;
    }
    if (fields.size() != 5) return std::nullopt;
    std::tm local{};
    int offset = 0;
    char sign = 0;
    const std::string when(fields[0]);
    int consumed = 0;
    if (std::sscanf(when.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %c%4d%n", &local.tm_year, &local.tm_mon,
                    &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &sign, &offset,
                    &consumed) != 8 ||
        consumed != static_cast<int>(when.size()) || (sign != '+' && sign != '-')) {
        return std::nullopt;
    }
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    // The offset says what local time meant then: UTC from the fields, then back.
    const std::time_t asUtc = timegm(&local);
    const long seconds = (offset / 100) * 3600L + (offset % 100) * 60L;
    Message m;
    m.received = std::chrono::system_clock::from_time_t(asUtc - (sign == '+' ? seconds : -seconds));
    std::string* targets[] = {&m.peer, &m.from, &m.to, &m.text};
    for (std::size_t i = 0; i < 4; ++i) {
        auto value = Unescape(fields[i + 1]);
        if (!value) return std::nullopt;
        *targets[i] = std::move(*value);
    }
    return m;
}

}  // namespace messenger
