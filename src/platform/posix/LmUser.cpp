#include "platform/LmUser.h"

#include <fcntl.h>
#include <netapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/CodePage.h"

// Declared here: <credentials.h> does not compile next to <netapi.h>.
struct cli_credentials;
extern "C" struct cli_credentials* cli_credentials_init_anon(void* mem_ctx);
// Public in libsamba-util; libnetapi_init reads whatever file this names.
extern "C" const char* set_dyn_CONFIGFILE(const char* newpath);

namespace platform {

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// UTF-16 to UTF-8 without passing through the 8-bit code page (server names may be any text).
std::string ToUtf8(std::u16string_view v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::uint32_t c = v[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < v.size() && v[i + 1] >= 0xDC00 &&
            v[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (v[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// libnetapi keeps one context per process; it is rebuilt at the start of every listing so a
// changed credentials file or configuration takes effect.
std::mutex gMutex;
libnetapi_ctx* gCtx = nullptr;

std::uint32_t OpenContext() {
    if (gCtx) {
        libnetapi_free(gCtx);
        gCtx = nullptr;
    }
    if (const char* conf = std::getenv("QUORVEL_SMB_CONF"); conf && *conf) {
        set_dyn_CONFIGFILE(conf);
    }
    const NET_API_STATUS rc = libnetapi_init(&gCtx);
    if (rc != 0) {
        gCtx = nullptr;
        return static_cast<std::uint32_t>(rc);
    }
    const TLmCredentials creds = ReadLmCredentials(LmCredentialsPath());
    if (creds.found && !creds.username.empty()) {
        libnetapi_set_username(gCtx, creds.username.c_str());
        // Always set, even empty: an unset password makes libnetapi ask on the terminal.
        libnetapi_set_password(gCtx, creds.password.c_str());
        if (!creds.domain.empty()) libnetapi_set_workgroup(gCtx, creds.domain.c_str());
    } else {
        cli_credentials* anon = cli_credentials_init_anon(nullptr);
        if (!anon) return kErrorNotEnoughMemory;
        libnetapi_set_creds(gCtx, anon);
    }
    return 0;
}

}  // namespace

std::string LmCredentialsPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/Quorvel/credentials";
}

TLmCredentials ReadLmCredentials(const std::string& path) {
    TLmCredentials creds;
    if (path.empty()) return creds;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return creds;
    struct stat st{};
    // A password others can read is not one to send on their behalf.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0 || st.st_size > 65536) {
        close(fd);
        return creds;
    }
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    close(fd);
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key == "username") creds.username = value;
        else if (key == "password") creds.password = value;
        else if (key == "domain") creds.domain = value;
    }
    creds.found = !creds.username.empty();
    return creds;
}

std::string LmServerName(const std::string& utf8Path) {
    if (utf8Path.rfind("\\\\", 0) == 0) return utf8Path.substr(2);
    return utf8Path;
}

std::uint32_t NetUserEnum(const char16_t* servername, std::uint32_t level, std::uint32_t filter,
                          std::uint8_t** bufptr, std::uint32_t prefmaxlen,
                          std::uint32_t* entriesread, std::uint32_t* totalentries,
                          std::uint32_t* resume_handle) {
    if (!bufptr || !entriesread || !totalentries || !resume_handle) return 87;  // invalid parameter
    *bufptr = nullptr;
    *entriesread = 0;
    if (level != 2) return kErrorInvalidLevel;

    const std::string server = servername ? LmServerName(ToUtf8(servername)) : std::string();
    std::lock_guard lock(gMutex);
    if (*resume_handle == 0 || !gCtx) {
        if (const std::uint32_t rc = OpenContext(); rc != 0) return rc;
    }
    std::uint8_t* raw = nullptr;
    std::uint32_t read = 0;
    std::uint32_t rc = 0;
    if (filter != 0) {
        rc = static_cast<std::uint32_t>(::NetUserEnum(server.empty() ? nullptr : server.c_str(), 2,
                                                      filter, &raw, prefmaxlen, &read,
                                                      totalentries, resume_handle));
    } else {
        // 0 means every kind of account, but libnetapi takes one kind per listing and reads 0
        // as normal accounts only: the kinds are listed one after another, the kind's number
        // kept in the top bits of the caller's resume handle.
        static constexpr std::uint32_t kKinds[] = {
            FILTER_NORMAL_ACCOUNT, FILTER_WORKSTATION_TRUST_ACCOUNT, FILTER_SERVER_TRUST_ACCOUNT,
            FILTER_INTERDOMAIN_TRUST_ACCOUNT, FILTER_TEMP_DUPLICATE_ACCOUNT};
        constexpr std::uint32_t kShift = 28, kInner = (1u << kShift) - 1;
        std::uint32_t kind = *resume_handle >> kShift;
        std::uint32_t inner = *resume_handle & kInner;
        while (true) {
            if (kind >= std::size(kKinds)) return kNerrSuccess;
            rc = static_cast<std::uint32_t>(::NetUserEnum(
                server.empty() ? nullptr : server.c_str(), 2, kKinds[kind], &raw, prefmaxlen,
                &read, totalentries, &inner));
            if (rc == kErrorMoreData) {
                *resume_handle = (kind << kShift) | (inner & kInner);
                break;
            }
            if (rc != kNerrSuccess) break;
            ++kind;
            inner = 0;
            const bool last = kind >= std::size(kKinds);
            *resume_handle = last ? 0 : kind << kShift;
            if (read > 0 || last) {
                if (!last) rc = kErrorMoreData;
                break;
            }
            if (raw) ::NetApiBufferFree(raw);
            raw = nullptr;
        }
    }
    if (rc != kNerrSuccess && rc != kErrorMoreData) {
        if (raw) ::NetApiBufferFree(raw);
        return rc;
    }
    // One block: the records, then their texts in Windows-1251.
    const auto* records = reinterpret_cast<const ::USER_INFO_2*>(raw);
    std::vector<std::string> names(read), fullNames(read);
    std::size_t size = sizeof(USER_INFO_2) * read;
    for (std::uint32_t i = 0; i < read; ++i) {
        if (records[i].usri2_name) names[i] = Utf8ToCp1251(records[i].usri2_name);
        if (records[i].usri2_full_name) fullNames[i] = Utf8ToCp1251(records[i].usri2_full_name);
        size += names[i].size() + fullNames[i].size() + 2;
    }
    if (raw) ::NetApiBufferFree(raw);
    auto* block = static_cast<std::uint8_t*>(std::malloc(size ? size : 1));
    if (!block) return kErrorNotEnoughMemory;
    auto* out = reinterpret_cast<USER_INFO_2*>(block);
    char* text = reinterpret_cast<char*>(block + sizeof(USER_INFO_2) * read);
    auto put = [&text](const std::string& s) {
        std::memcpy(text, s.c_str(), s.size() + 1);
        const char* at = text;
        text += s.size() + 1;
        return at;
    };
    for (std::uint32_t i = 0; i < read; ++i) {
        out[i].usri2_name = put(names[i]);
        out[i].usri2_full_name = put(fullNames[i]);
    }
    *bufptr = block;
    *entriesread = read;
    return rc;
}

std::uint32_t NetApiBufferFree(void* buffer) {
    std::free(buffer);
    return kNerrSuccess;
}

}  // namespace platform
