#include "platform/Profile.h"

#include <cerrno>
#include <vector>

#include "platform/AtomicFile.h"

namespace platform {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::size_t kMaxValue = kProfileBufferSize - 1;

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool IsBlank(std::string_view line) {
    return Trim(line).empty();
}

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

// "[name]" with optional blanks around the name and anything after the closing bracket.
bool ParseSection(std::string_view line, std::string_view* name) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[') return false;
    const std::size_t close = t.rfind(']');
    if (close == std::string_view::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value"; `eq` is the position of '=' in the line. Comments and lines without '=' are not
// keys.
bool ParseKey(std::string_view line, std::string_view* key, std::string_view* value,
              std::size_t* eq = nullptr) {
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') return false;
    const std::size_t pos = line.find('=');
    if (pos == std::string_view::npos) return false;
    *key = Trim(line.substr(0, pos));
    if (key->empty()) return false;
    *value = Trim(line.substr(pos + 1));
    if (eq) *eq = pos;
    return true;
}

// Lines without their LF or CR LF. A last line without a terminator still counts; an empty
// file has no lines.
std::vector<std::string_view> SplitLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        std::string_view line = bytes.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (lf == std::string_view::npos) break;
        bytes.remove_prefix(lf + 1);
    }
    return lines;
}

// Where [section] starts, where it ends (the next section's line or the end) and the first
// matching key inside it; npos for what is missing.
struct Location {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t section = npos, end = npos, key = npos, eq = 0;
    std::string_view value;
};

Location Find(const std::vector<std::string_view>& lines, std::string_view section,
              std::string_view key) {
    Location loc;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name, value;
        if (ParseSection(lines[i], &name)) {
            if (loc.section != Location::npos) {
                loc.end = i;
                return loc;
            }
            if (EqualNoCase(name, section)) loc.section = i;
        } else if (loc.section != Location::npos && loc.key == Location::npos &&
                   ParseKey(lines[i], &name, &value, &loc.eq) && EqualNoCase(name, key)) {
            loc.key = i;
            loc.value = value;
        }
    }
    if (loc.section != Location::npos) loc.end = lines.size();
    return loc;
}

bool ValidName(std::string_view name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& path) {
    std::string result(def.substr(0, kMaxValue));
    std::string bytes;
    if (!ReadFileContents(path, bytes)) return result;

    const Location loc = Find(SplitLines(bytes), Trim(section), Trim(key));
    if (loc.key == Location::npos) return result;
    std::string_view value = loc.value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, kMaxValue));
}

bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path) {
    section = Trim(section);
    key = Trim(key);
    // Anything that would not read back as this section and key, or would split the line.
    if (!ValidName(section) || !ValidName(key) || key.find('=') != std::string_view::npos ||
        key.front() == ';' || key.front() == '[' ||
        value.find_first_of("\r\n") != std::string_view::npos) {
        errno = EINVAL;
        return false;
    }

    TFileForUpdate file;
    if (!OpenForUpdate(path, file, true)) return false;
    const std::string& bytes = file.bytes;

    std::vector<std::string_view> lines = SplitLines(bytes);
    const Location loc = Find(lines, section, key);
    std::string header, changed;  // own the new or changed lines
    if (loc.key != Location::npos) {
        // Keep the key's own spelling and spacing; only the value changes.
        const std::string_view line = lines[loc.key];
        const std::size_t start = line.find_first_not_of(kBlanks, loc.eq + 1);
        changed =
            std::string(line.substr(0, start == std::string_view::npos ? line.size() : start)) +
            std::string(value);
        lines[loc.key] = changed;
    } else {
        changed = std::string(key) + "=" + std::string(value);
        if (loc.section != Location::npos) {
            std::size_t after = loc.section + 1;
            for (std::size_t i = loc.end; i > loc.section + 1; --i) {
                if (!IsBlank(lines[i - 1])) {
                    after = i;
                    break;
                }
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after), changed);
        } else {
            header = "[" + std::string(section) + "]";
            if (!lines.empty() && !IsBlank(lines.back())) lines.push_back({});
            lines.push_back(header);
            lines.push_back(changed);
        }
    }

    std::string out;
    out.reserve(bytes.size() + header.size() + changed.size() + 2 * lines.size());
    for (std::string_view line : lines) {
        out += line;
        out += "\r\n";
    }
    return CommitUpdate(file, out);
}

}  // namespace platform
