#include "platform/Registry.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CodePage.h"

namespace platform {

using namespace reg;

namespace {

struct RegValue {
    DWORD type = REG_NONE;
    std::string data;
};

// Folded value name -> value.
using KeyValues = std::map<std::string, RegValue>;

struct RootName {
    const char* name;
    HKEY key;
};

constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKEY_USERS", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool IsRoot(HKEY key) {
    for (const RootName& r : kRoots)
        if (r.key == key) return true;
    return false;
}

// Upper case in Windows-1251, Cyrillic included.
unsigned char FoldByte(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
    if (c >= 0xE0) return static_cast<unsigned char>(c - 0x20);
    switch (c) {
        case 0x90: return 0x80;  // dje
        case 0x83: return 0x81;  // gje
        case 0x9A: return 0x8A;  // lje
        case 0x9C: return 0x8C;  // nje
        case 0x9D: return 0x8D;  // kje
        case 0x9E: return 0x8E;  // tshe
        case 0x9F: return 0x8F;  // dzhe
        case 0xA2: return 0xA1;  // short u
        case 0xBC: return 0xA3;  // je
        case 0xB4: return 0xA5;  // ghe with upturn
        case 0xB8: return 0xA8;  // io
        case 0xBA: return 0xAA;  // ukrainian ie
        case 0xBF: return 0xAF;  // yi
        case 0xB3: return 0xB2;  // byelorussian-ukrainian i
        case 0xBE: return 0xBD;  // dze
        default: return c;
    }
}

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(FoldByte(static_cast<unsigned char>(c)));
    return out;
}

// A key path without surrounding or doubled separators, folded.
std::string NormalisePath(std::string_view path) {
    std::string out;
    for (char c : path) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out += c;
    }
    if (!out.empty() && out.back() == '\\') out.pop_back();
    return Fold(out);
}

std::string JoinPath(const std::string& base, std::string_view sub) {
    const std::string tail = NormalisePath(sub);
    if (base.empty()) return tail;
    if (tail.empty()) return base;
    return base + "\\" + tail;
}

struct Store {
    // (root, folded path) -> values; every ancestor of a listed key exists too.
    std::map<std::pair<HKEY, std::string>, KeyValues> keys;
};

std::u16string DecodeUtf16Le(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return out;
}

std::string Narrow(std::u16string_view text) { return Utf16ToCp1251(text); }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t' || s.back() == u'\r')) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = s[i], b = prefix[i];
        if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 0x20);
        if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 0x20);
        if (a != b) return false;
    }
    return true;
}

// A quoted string with \\ and \" escapes at the start of s; s moves past it.
std::optional<std::u16string> TakeQuoted(std::u16string_view& s) {
    if (s.empty() || s.front() != u'"') return std::nullopt;
    std::u16string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == u'\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (s[i] == u'"') {
            s.remove_prefix(i + 1);
            return out;
        } else {
            out += s[i];
        }
    }
    return std::nullopt;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

std::optional<std::string> ParseHexList(std::u16string_view s) {
    std::string out;
    int digits = 0, byte = 0;
    for (char16_t c : s) {
        if (c == u',' || c == u' ' || c == u'\t' || c == u'\\') {
            if (digits) out += static_cast<char>(byte);
            digits = byte = 0;
            continue;
        }
        const int d = HexDigit(c);
        if (d < 0 || digits == 2) return std::nullopt;
        byte = byte * 16 + d;
        ++digits;
    }
    if (digits) out += static_cast<char>(byte);
    return out;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stored string bytes as Windows-1251 with one closing zero (a multi-string keeps its inner zeros).
std::string StringData(std::string bytes, bool unicode, DWORD type) {
    std::string text = unicode ? Narrow(DecodeUtf16Le(bytes)) : std::move(bytes);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    text += '\0';
    if (type == REG_MULTI_SZ) text += '\0';
    return text;
}

std::optional<RegValue> ParseData(std::u16string_view s, bool unicode) {
    s = Trim(s);
    RegValue v;
    if (!s.empty() && s.front() == u'"') {
        std::optional<std::u16string> text = TakeQuoted(s);
        if (!text || !Trim(s).empty()) return std::nullopt;
        v.type = REG_SZ;
        v.data = Narrow(*text) + '\0';
        return v;
    }
    if (StartsWithNoCase(s, u"dword:")) {
        s.remove_prefix(6);
        if (s.empty() || s.size() > 8) return std::nullopt;
        std::uint32_t n = 0;
        for (char16_t c : s) {
            const int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            n = n * 16 + static_cast<std::uint32_t>(d);
        }
        v.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
        return v;
    }
    if (!StartsWithNoCase(s, u"hex")) return std::nullopt;
    s.remove_prefix(3);
    v.type = REG_BINARY;
    if (!s.empty() && s.front() == u'(') {
        const std::size_t close = s.find(u')');
        if (close == std::u16string_view::npos || close == 1 || close > 9) return std::nullopt;
        DWORD type = 0;
        for (char16_t c : s.substr(1, close - 1)) {
            const int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            type = type * 16 + static_cast<DWORD>(d);
        }
        v.type = type;
        s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != u':') return std::nullopt;
    std::optional<std::string> bytes = ParseHexList(s.substr(1));
    if (!bytes) return std::nullopt;
    v.data = IsStringType(v.type) ? StringData(std::move(*bytes), unicode, v.type) : std::move(*bytes);
    return v;
}

std::u16string DecodeFile(const std::string& bytes, bool& unicode, bool& known) {
    std::u16string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text = DecodeUtf16Le(std::string_view(bytes).substr(2));
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = CodePageToUtf16(std::string_view(bytes).substr(3), "UTF-8");
    } else {
        text = Cp1251ToUtf16(bytes);
    }
    const std::u16string_view first = Trim(std::u16string_view(text).substr(0, text.find(u'\n')));
    unicode = first == u"Windows Registry Editor Version 5.00";
    known = unicode || first == u"REGEDIT4";
    // A version 5 file without a byte order mark is taken as UTF-8.
    if (unicode && !bytes.empty() && static_cast<unsigned char>(bytes[0]) != 0xFF &&
        static_cast<unsigned char>(bytes[0]) != 0xEF)
        text = CodePageToUtf16(bytes, "UTF-8");
    return text;
}

void AddKey(Store& store, HKEY root, const std::string& path) {
    store.keys[{root, path}];
    for (std::size_t at = path.rfind('\\'); at != std::string::npos; at = path.rfind('\\', at - 1)) {
        store.keys[{root, path.substr(0, at)}];
        if (at == 0) break;
    }
    store.keys[{root, std::string()}];
}

std::optional<Store> LoadStore() {
    std::ifstream in(RegistryFilePath(), std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool unicode = false, known = false;
    const std::u16string text = DecodeFile(bytes, unicode, known);
    if (!known) return std::nullopt;

    std::vector<std::u16string> lines;
    std::size_t start = text.find(u'\n');
    while (start != std::u16string::npos) {
        const std::size_t end = text.find(u'\n', start + 1);
        std::u16string_view raw = std::u16string_view(text).substr(start + 1, end == std::u16string::npos ? std::u16string::npos : end - start - 1);
        std::u16string_view line = Trim(raw);
        const bool joins = !lines.empty() && !lines.back().empty() && lines.back().back() == u'\\' &&
                           lines.back().front() != u'[';
        if (joins) {
            lines.back().pop_back();
            lines.back() += line;
        } else {
            lines.emplace_back(line);
        }
        start = end;
    }

    Store store;
    KeyValues* current = nullptr;
    for (std::u16string_view line : lines) {
        if (line.empty() || line.front() == u';') continue;
        if (line.front() == u'[') {
            current = nullptr;
            if (line.back() != u']' || (line.size() > 1 && line[1] == u'-')) continue;
            const std::string full = Narrow(line.substr(1, line.size() - 2));
            const std::size_t sep = full.find('\\');
            const std::string rootName = Fold(full.substr(0, sep));
            for (const RootName& r : kRoots) {
                if (rootName != r.name) continue;
                const std::string path = NormalisePath(sep == std::string::npos ? std::string() : full.substr(sep));
                AddKey(store, r.key, path);
                current = &store.keys[{r.key, path}];
            }
            continue;
        }
        if (!current) continue;
        std::u16string name;
        if (line.front() == u'@') {
            line.remove_prefix(1);
        } else {
            std::optional<std::u16string> quoted = TakeQuoted(line);
            if (!quoted) continue;
            name = std::move(*quoted);
        }
        line = Trim(line);
        if (line.empty() || line.front() != u'=') continue;
        line.remove_prefix(1);
        if (Trim(line) == u"-") continue;
        if (std::optional<RegValue> value = ParseData(line, unicode))
            (*current)[Fold(Narrow(name))] = std::move(*value);
    }
    return store;
}

struct OpenKey {
    HKEY root;
    std::string path;
    KeyValues values;
};

std::mutex handlesMutex;
std::map<std::uintptr_t, OpenKey> handles;
std::uintptr_t nextHandle = 1;

// Root and path of a root or open key.
bool Locate(HKEY key, HKEY& root, std::string& path) {
    if (IsRoot(key)) {
        root = key;
        path.clear();
        return true;
    }
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = handles.find(static_cast<std::uintptr_t>(key));
    if (it == handles.end()) return false;
    root = it->second.root;
    path = it->second.path;
    return true;
}

}  // namespace

const char* RegistryFilePath() {
    const char* env = std::getenv("QUORVEL_REGISTRY_FILE");
    return env && *env ? env : "/etc/quorvel/registry.reg";
}

LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD /*options*/, REGSAM /*samDesired*/, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    try {
        HKEY root{};
        std::string base;
        if (!Locate(key, root, base)) return ERROR_INVALID_HANDLE;
        const std::string path = JoinPath(base, subKey ? subKey : "");
        std::optional<Store> store = LoadStore();
        if (!store) return ERROR_FILE_NOT_FOUND;
        auto it = store->keys.find({root, path});
        if (it == store->keys.end()) return ERROR_FILE_NOT_FOUND;
        std::lock_guard<std::mutex> lock(handlesMutex);
        const std::uintptr_t handle = nextHandle++;
        handles[handle] = OpenKey{root, path, std::move(it->second)};
        *result = HKEY{handle};
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                     DWORD* cbData) {
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    try {
        RegValue value;
        const std::string name = Fold(valueName ? valueName : "");
        if (IsRoot(key)) {
            // A root is read afresh, as it is never opened.
            std::optional<Store> store = LoadStore();
            if (!store) return ERROR_FILE_NOT_FOUND;
            auto k = store->keys.find({key, std::string()});
            if (k == store->keys.end()) return ERROR_FILE_NOT_FOUND;
            auto v = k->second.find(name);
            if (v == k->second.end()) return ERROR_FILE_NOT_FOUND;
            value = v->second;
        } else {
            std::lock_guard<std::mutex> lock(handlesMutex);
            auto h = handles.find(static_cast<std::uintptr_t>(key));
            if (h == handles.end()) return ERROR_INVALID_HANDLE;
            auto v = h->second.values.find(name);
            if (v == h->second.values.end()) return ERROR_FILE_NOT_FOUND;
            value = v->second;
        }
        if (type) *type = value.type;
        if (!cbData) return ERROR_SUCCESS;
        const DWORD size = static_cast<DWORD>(value.data.size());
        const DWORD room = *cbData;
        *cbData = size;
        if (!data) return ERROR_SUCCESS;
        if (room < size) return ERROR_MORE_DATA;
        std::memcpy(data, value.data.data(), size);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG RegCloseKey(HKEY key) {
    if (IsRoot(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(handlesMutex);
    return handles.erase(static_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace platform
