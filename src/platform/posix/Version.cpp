#include "platform/Version.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "version_config.h"

namespace platform {

namespace {

// Block layout: the magic, then records until the end. A translation record is 'T', the
// language word and the code-page word; a string record is 'S' and three texts (string-block
// key, name, value), each a 32-bit length and its bytes. Numbers are little-endian.
constexpr std::string_view kMagic = "QVB1";
constexpr unsigned char kTranslation = 'T';
constexpr unsigned char kString = 'S';

void PutLe(VersionBlock& b, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutText(VersionBlock& b, const std::string& s) {
    PutLe(b, static_cast<std::uint32_t>(s.size()), 4);
    b.insert(b.end(), s.begin(), s.end());
}

// Reads records with bounds checks: a block may come from a caller and be damaged.
class Reader {
public:
    explicit Reader(const VersionBlock& b) : b_(b) {}

    bool magic() {
        if (b_.size() < kMagic.size()) return false;
        if (!std::equal(kMagic.begin(), kMagic.end(), b_.begin())) return false;
        pos_ = kMagic.size();
        return true;
    }
    bool atEnd() const { return pos_ == b_.size(); }
    bool byte(unsigned char& v) {
        if (pos_ >= b_.size()) return false;
        v = b_[pos_++];
        return true;
    }
    bool le(std::uint32_t& v, int bytes) {
        if (b_.size() - pos_ < static_cast<std::size_t>(bytes)) return false;
        v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(b_[pos_++]) << (8 * i);
        return true;
    }
    bool raw(std::string& out, std::size_t n) {
        if (b_.size() - pos_ < n) return false;
        out.assign(b_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return true;
    }
    bool text(std::string& out) {
        std::uint32_t n;
        return le(n, 4) && raw(out, n);
    }

private:
    const VersionBlock& b_;
    std::size_t pos_ = 0;
};

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    std::vector<std::string_view> parts;
    if (path.empty()) return parts;
    for (;;) {
        const std::size_t sep = path.find('\\');
        parts.push_back(path.substr(0, sep));
        if (sep == std::string_view::npos) return parts;
        path.remove_prefix(sep + 1);
    }
}

std::string StringBlockKey(unsigned language, unsigned codePage) {
    char key[9];
    std::snprintf(key, sizeof key, "%04X%04X", language & 0xFFFFu, codePage & 0xFFFFu);
    return key;
}

const VersionBlock& CompiledInBlock() {
    static const VersionBlock block = [] {
        VersionStrings s;
        s.translations.emplace_back(QUORVEL_VERSION_LANGUAGE, QUORVEL_VERSION_CODEPAGE);
        const std::string key = StringBlockKey(QUORVEL_VERSION_LANGUAGE, QUORVEL_VERSION_CODEPAGE);
        s.strings = {
            {key, "ProductName", QUORVEL_PRODUCT_NAME},
            {key, "FileDescription", "Quorvel"},
            {key, "FileVersion", QUORVEL_FILE_VERSION},
            {key, "ProductVersion", QUORVEL_FILE_VERSION},
        };
        return MakeVersionBlock(s);
    }();
    return block;
}

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> p(realpath(path.c_str(), nullptr), &std::free);
    return p ? std::string(p.get()) : std::string();
}

bool IsRunningExecutable(const std::string& path) {
    if (path.empty()) return false;
    const std::string self = ExecutablePath();
    return !self.empty() && RealPath(path) == self;
}

}  // namespace

VersionBlock MakeVersionBlock(const VersionStrings& strings) {
    VersionBlock b(kMagic.begin(), kMagic.end());
    for (const auto& [language, codePage] : strings.translations) {
        b.push_back(kTranslation);
        PutLe(b, language, 2);
        PutLe(b, codePage, 2);
    }
    for (const auto& e : strings.strings) {
        b.push_back(kString);
        PutText(b, e.block);
        PutText(b, e.name);
        PutText(b, e.value);
    }
    return b;
}

bool VerQueryValueA(const VersionBlock& block, std::string_view subBlock, std::string& value) {
    const std::vector<std::string_view> parts = SplitPath(subBlock);
    const bool translation = parts.size() == 2 && EqualNoCase(parts[0], "VarFileInfo") &&
                             EqualNoCase(parts[1], "Translation");
    const bool isString = parts.size() == 3 && EqualNoCase(parts[0], "StringFileInfo");
    if (!translation && !isString) return false;

    Reader r(block);
    if (!r.magic()) return false;
    std::string translations;
    while (!r.atEnd()) {
        unsigned char type;
        if (!r.byte(type)) return false;
        if (type == kTranslation) {
            std::string entry;
            if (!r.raw(entry, 4)) return false;
            translations += entry;
        } else if (type == kString) {
            std::string key, name, text;
            if (!r.text(key) || !r.text(name) || !r.text(text)) return false;
            if (isString && EqualNoCase(key, parts[1]) && EqualNoCase(name, parts[2])) {
                value = std::move(text);
                return true;
            }
        } else {
            return false;
        }
    }
    if (!translation || translations.empty()) return false;
    value = std::move(translations);
    return true;
}

std::uint32_t GetFileVersionInfoSizeA(const std::string& path) {
    if (!IsRunningExecutable(path)) return 0;
    return static_cast<std::uint32_t>(CompiledInBlock().size());
}

bool GetFileVersionInfoA(const std::string& path, VersionBlock& block) {
    if (!IsRunningExecutable(path)) return false;
    block = CompiledInBlock();
    return true;
}

std::string ExecutablePath() {
    return RealPath("/proc/self/exe");
}

}  // namespace platform
