#include "platform/CodePage.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace platform {

namespace {

// UTF-16 texts are handed to iconv as their in-memory bytes.
static_assert(std::endian::native == std::endian::little, "char16_t must be little-endian");

constexpr const char* kUtf16 = "UTF-16LE";
constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kCp1251 = "CP1251";
constexpr unsigned char kCp1251Hole = 0x98;

class Converter {
public:
    explicit Converter(iconv_t cd) : cd_(cd) {}
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// An iconv_t keeps conversion state and must not be shared between threads, so every thread
// opens its own, once per direction.
iconv_t OpenCached(const char* to, const char* from) {
    thread_local std::map<std::pair<std::string, std::string>, Converter> cache;
    auto key = std::make_pair(std::string(to), std::string(from));
    auto it = cache.find(key);
    if (it != cache.end()) return it->second.get();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (errno == EINVAL) {
            throw std::invalid_argument("no conversion from " + key.second + " to " + key.first);
        }
        throw std::system_error(errno, std::generic_category(), "iconv_open");
    }
    return cache.try_emplace(std::move(key), cd).first->second.get();
}

bool IsCp1251(const char* name) {
    std::string n;
    for (const char* p = name; *p; ++p) {
        char c = *p;
        if (c == '-' || c == '_' || c == ' ') continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        n += c;
    }
    return n == "CP1251" || n == "WINDOWS1251" || n == "MSCYRL";
}

// Called where iconv stops on input it rejects (`rest` starts there). Appends whatever stands
// for the bad unit and returns how many input bytes it covers (at least one).
using BadInput = std::function<std::size_t(std::string_view rest, std::string& out)>;

void Run(iconv_t cd, std::string_view input, std::string& out, const BadInput& onBad) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a previous call may have thrown midway
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    std::size_t used = out.size();
    out.resize(used + inLeft * 2 + 16);
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                  : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        used = static_cast<std::size_t>(outPtr - out.data());
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            flushing = true;  // emit a stateful encoding's return to its initial shift state
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        if (errno != EILSEQ && errno != EINVAL) {
            throw std::system_error(errno, std::generic_category(), "iconv");
        }
        out.resize(used);
        std::size_t n = onBad(std::string_view(in, inLeft), out);
        if (n > inLeft) n = inLeft;
        in += n;
        inLeft -= n;
        used = out.size();
        out.resize(used + inLeft * 2 + 16);
    }
    out.resize(used);
}

// '?' in the target encoding, produced by the same converter so a stateful target stays
// consistent. `question` is '?' in the source encoding.
void AppendQuestionMark(iconv_t cd, std::string_view question, std::string& out) {
    char buf[16];
    char* in = const_cast<char*>(question.data());
    std::size_t inLeft = question.size();
    char* outPtr = buf;
    std::size_t outLeft = sizeof buf;
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
        out += '?';
        return;
    }
    out.append(buf, static_cast<std::size_t>(outPtr - buf));
}

std::string_view AsBytes(std::u16string_view text) {
    return {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)};
}

std::u16string FromBytes(const std::string& bytes) {
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return text;
}

unsigned Unit16(std::string_view bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]) |
           (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8);
}

// Length of the well-formed UTF-8 sequence at the start of s, 0 if it is malformed.
std::size_t Utf8SequenceLength(std::string_view s, char32_t* cp) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.empty()) return 0;
    unsigned lead = b(0);
    std::size_t len;
    char32_t c;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        c = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b(i) & 0x3F);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    *cp = c;
    return len;
}

std::u16string DecodeToUtf16(std::string_view bytes, const char* codePage) {
    iconv_t cd = OpenCached(kUtf16, codePage);
    const bool cp1251 = IsCp1251(codePage);
    std::string out;
    Run(cd, bytes, out, [cp1251](std::string_view rest, std::string& o) {
        if (cp1251 && static_cast<unsigned char>(rest[0]) == kCp1251Hole) {
            o.append("\x98\x00", 2);  // U+0098
        } else {
            o.append("\xFD\xFF", 2);  // U+FFFD
        }
        return std::size_t{1};
    });
    return FromBytes(out);
}

std::string EncodeFromUtf16(std::u16string_view text, const char* codePage) {
    iconv_t cd = OpenCached(codePage, kUtf16);
    const bool cp1251 = IsCp1251(codePage);
    std::string out;
    Run(cd, AsBytes(text), out, [cd, cp1251](std::string_view rest, std::string& o) {
        if (rest.size() < 2) return rest.size();  // cannot happen: input is whole units
        const unsigned unit = Unit16(rest, 0);
        if (cp1251 && unit == kCp1251Hole) {
            o += static_cast<char>(kCp1251Hole);
            return std::size_t{2};
        }
        AppendQuestionMark(cd, std::string_view("?\0", 2), o);
        // A well-formed surrogate pair is one character and gets one '?'.
        if (unit >= 0xD800 && unit <= 0xDBFF && rest.size() >= 4) {
            const unsigned next = Unit16(rest, 2);
            if (next >= 0xDC00 && next <= 0xDFFF) return std::size_t{4};
        }
        return std::size_t{2};
    });
    return out;
}

}  // namespace

std::u16string Cp1251ToUtf16(std::string_view bytes) {
    return DecodeToUtf16(bytes, kCp1251);
}

std::string Utf16ToCp1251(std::u16string_view text) {
    return EncodeFromUtf16(text, kCp1251);
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    Run(OpenCached(kUtf8, kCp1251), bytes, out, [](std::string_view rest, std::string& o) {
        o += static_cast<unsigned char>(rest[0]) == kCp1251Hole ? "\xC2\x98" : "\xEF\xBF\xBD";
        return std::size_t{1};
    });
    return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
    iconv_t cd = OpenCached(kCp1251, kUtf8);
    std::string out;
    Run(cd, utf8, out, [](std::string_view rest, std::string& o) {
        char32_t cp = 0;
        const std::size_t len = Utf8SequenceLength(rest, &cp);
        if (len == 0) {  // malformed: one '?' per byte
            o += '?';
            return std::size_t{1};
        }
        o += cp == kCp1251Hole ? static_cast<char>(kCp1251Hole) : '?';
        return len;
    });
    return out;
}

std::u16string CodePageToUtf16(std::string_view bytes, const char* codePage) {
    // iconv takes "" for the locale's code page; here it is simply no name.
    if (!codePage || !*codePage) throw std::invalid_argument("no code page");
    return DecodeToUtf16(bytes, codePage);
}

std::string Utf16ToCodePage(std::u16string_view text, const char* codePage) {
    if (!codePage || !*codePage) throw std::invalid_argument("no code page");
    return EncodeFromUtf16(text, codePage);
}

}  // namespace platform
