#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

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

bool ReadAll(int fd, std::string& bytes) {
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
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

std::string DirName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file a path finally names, so that writing through a symlink replaces its target and
// keeps the link. A dangling link gives the path it points to.
bool ResolveLinks(const std::string& path, std::string& resolved) {
    resolved = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::vector<char> buf(PATH_MAX);
        const ssize_t n = readlink(resolved.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        std::string target(buf.data(), static_cast<std::size_t>(n));
        if (target.empty()) {
            errno = ENOENT;
            return false;
        }
        resolved = target.front() == '/' ? target : DirName(resolved) + "/" + target;
    }
    errno = ELOOP;
    return false;
}

// umask() can only be read by setting it, which races with other threads creating files;
// the kernel reports it in /proc.
mode_t CurrentUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f)) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(f);
        if (found) return static_cast<mode_t>(mask);
    }
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Writes bytes to a temporary file beside target and renames it over target.
bool ReplaceFile(const std::string& target, std::string_view bytes, mode_t mode) {
    const std::string dir = DirName(target);
    const std::string base = target.substr(target.rfind('/') + 1);  // npos + 1 == 0
    std::string temp = dir + "/." + base + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    int saved = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = saved;
        return false;
    }
    // Make the rename itself durable; the new content is already safe either way.
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool ValidName(std::string_view name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& path) {
    std::string result(def.substr(0, kMaxValue));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return result;
    std::string bytes;
    const bool read = ReadAll(fd, bytes);
    close(fd);
    if (!read) return result;

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

    std::string target;
    if (!ResolveLinks(path, target)) return false;

    std::string bytes;
    mode_t mode;
    const int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        bool ok = fstat(fd, &st) == 0;
        if (ok && (st.st_mode & 0222) == 0) {
            errno = EACCES;  // read-only, whoever we are
            ok = false;
        }
        ok = ok && ReadAll(fd, bytes);
        const int saved = errno;
        close(fd);
        if (!ok) {
            errno = saved;
            return false;
        }
        mode = st.st_mode & 07777;
    } else if (errno == ENOENT) {
        mode = 0666 & ~CurrentUmask();
    } else {
        return false;
    }

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
    return ReplaceFile(target, out, mode);
}

}  // namespace platform
