#include "addressbook/AddressFile.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

#include "common/defaults.h"
#include "platform/AtomicFile.h"

namespace {

constexpr std::size_t kMaxNumberLength = 32;

bool IsBlankCode(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimBlankCodes(std::string_view s) {
    while (!s.empty() && IsBlankCode(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlankCode(s.back())) s.remove_suffix(1);
    return s;
}

class TRecordReader {
public:
    explicit TRecordReader(std::string_view bytes) : s_(bytes) {}

    void skipBlanks() {
        while (pos_ < s_.size() && IsBlankCode(s_[pos_])) ++pos_;
    }
    bool atEnd() const { return pos_ >= s_.size(); }
    std::string_view number() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && pos_ - start < kMaxNumberLength && !IsBlankCode(s_[pos_])) ++pos_;
        return s_.substr(start, pos_ - start);
    }
    // The rest of the line, trimmed; the reader moves past the line end.
    std::string_view restOfLine() {
        const std::size_t lf = s_.find('\n', pos_);
        const std::size_t end = lf == std::string_view::npos ? s_.size() : lf;
        const std::string_view line = s_.substr(pos_, end - pos_);
        pos_ = lf == std::string_view::npos ? s_.size() : lf + 1;
        return TrimBlankCodes(line);
    }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseAddressNumber(std::string_view token, std::int32_t& value) {
    bool negative = false;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        negative = token[0] == '-';
        token.remove_prefix(1);
    }
    std::uint64_t v = 0;
    bool hex = false;
    if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        hex = true;
        token.remove_prefix(2);
    } else if (!token.empty() && (token[0] == '$' || token[0] == 'x' || token[0] == 'X')) {
        hex = true;
        token.remove_prefix(1);
    }
    if (token.empty()) return false;
    for (char c : token) {
        const int d = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
        if (v > (hex ? 0xFFFFFFFFull : negative ? 2147483648ull : 2147483647ull)) return false;
    }
    const auto pattern = static_cast<std::uint32_t>(v);
    value = static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    return true;
}

namespace {

// Reads records one at a time and hands each to take(TAddressRecord&&); true when a malformed
// number stopped it.
template <class Take>
bool ReadRecords(std::string_view bytes, Take&& take) {
    TRecordReader in(bytes);
    for (;;) {
        in.skipBlanks();
        if (in.atEnd()) return false;
        TAddressRecord record;
        if (!ParseAddressNumber(in.number(), record.level)) return true;
        in.skipBlanks();
        if (!in.atEnd()) {
            if (!ParseAddressNumber(in.number(), record.kind)) return true;
            record.caption = in.restOfLine();
        }
        take(std::move(record));
    }
}

// The reconstruction rules, one record at a time, into a staging tree handed over at the end:
// the view learns of it in one insertion.
class TTreeBuilder {
public:
    explicit TTreeBuilder(const TKindMapping& mapKind) : mapKind_(mapKind) {}

    void add(std::int32_t recordLevel, std::int32_t recordKind, std::string caption) {
        TAddressNode* parent = nullptr;
        std::int32_t level = 0;
        if (!current_ || recordLevel < 0) {
            // The first record is always a root, and so is one with a negative level.
        } else if (recordLevel == currentLevel_) {
            parent = current_->parent();
            level = currentLevel_;
        } else if (recordLevel > currentLevel_) {
            // One level deeper, or more: a child of the node before it either way.
            parent = current_;
            level = currentLevel_ + 1;
        } else {
            TAddressNode* ancestor = current_;
            for (std::int32_t l = currentLevel_; l > recordLevel; --l) ancestor = ancestor->parent();
            parent = ancestor->parent();
            level = recordLevel;
        }
        const TAddressKind kind = mapKind_ ? mapKind_(recordKind) : recordKind;
        current_ = staging_.addChild(parent, std::move(caption), kind);
        currentLevel_ = level;
    }
    void handOver(TAddressTree& tree) { tree.adoptRoots(staging_); }

private:
    const TKindMapping& mapKind_;
    TAddressTree staging_;
    TAddressNode* current_ = nullptr;
    std::int32_t currentLevel_ = 0;
};

}  // namespace

TAddressParse ParseAddressRecords(std::string_view bytes) {
    TAddressParse result;
    // At most one record a line: no regrowing, and moving, a vector of 100k records.
    result.records.reserve(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
    result.malformed = ReadRecords(bytes, [&](TAddressRecord&& r) { result.records.push_back(std::move(r)); });
    return result;
}

void AppendAddressRecords(TAddressTree& tree, const std::vector<TAddressRecord>& records,
                          const TKindMapping& mapKind) {
    TTreeBuilder builder(mapKind);
    for (const TAddressRecord& r : records) builder.add(r.level, r.kind, r.caption);
    builder.handOver(tree);
}

std::string FormatAddressBook(const TAddressTree& tree) {
    std::string out;
    out.reserve(tree.size() * 24);
    struct Frame {
        const TAddressNode* node;
        int level;
    };
    std::vector<Frame> pending;
    for (int i = tree.rootCount() - 1; i >= 0; --i) pending.push_back({tree.root(i), 0});
    while (!pending.empty()) {
        const Frame f = pending.back();
        pending.pop_back();
        out += std::to_string(f.level);
        out += ' ';
        out += std::to_string(f.node->kind());
        out += ' ';
        out += f.node->caption();
        out += "\r\n";
        for (int i = f.node->childCount() - 1; i >= 0; --i)
            pending.push_back({f.node->child(i), f.level + 1});
    }
    return out;
}

std::string InOutErrorText(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return std::string(msg::FileNotFound);
        case EACCES:
        case EPERM:
        case EROFS:
            return std::string(msg::FileAccessDenied);
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return std::string(msg::DiskFull);
        case EMFILE:
        case ENFILE:
            return std::string(msg::TooManyOpenFiles);
        default:
            return FormatMessage(msg::InOutError, std::to_string(error));
    }
}

namespace {

[[noreturn]] void RaiseInOutError(int error) { throw EInOutError(error, InOutErrorText(error)); }

}  // namespace

bool LoadAddressBook(const std::string& path, TAddressTree& tree, const TKindMapping& mapKind) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return false;
    std::string bytes;
    if (!platform::ReadFileContents(path, bytes)) RaiseInOutError(errno);
    // Straight into the tree: no record list beside it, no caption copied twice.
    TTreeBuilder builder(mapKind);
    const bool malformed = ReadRecords(bytes, [&](TAddressRecord&& r) {
        builder.add(r.level, r.kind, std::move(r.caption));
    });
    builder.handOver(tree);
    if (malformed) throw EInOutError(106, std::string(msg::InvalidNumericInput));
    return true;
}

void SaveAddressBook(const std::string& path, const TAddressTree& tree) {
    if (!platform::ReplaceFileContents(path, FormatAddressBook(tree))) RaiseInOutError(errno);
}
