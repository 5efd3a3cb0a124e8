#include "platform/AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

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

}  // namespace

bool ReadFileContents(const std::string& path, std::string& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ReadAll(fd, bytes);
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool OpenForUpdate(const std::string& path, TFileForUpdate& file, bool readContents) {
    if (!ResolveLinks(path, file.target)) return false;
    const int fd = open(file.target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return false;
        file.mode = 0666 & ~CurrentUmask();
        return true;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && (st.st_mode & 0222) == 0) {
        errno = EACCES;  // read-only, whoever we are
        ok = false;
    }
    if (ok && readContents) ok = ReadAll(fd, file.bytes);
    const int saved = errno;
    close(fd);
    errno = saved;
    file.mode = st.st_mode & 07777;
    return ok;
}

bool CommitUpdate(const TFileForUpdate& file, std::string_view bytes) {
    return ReplaceFile(file.target, bytes, file.mode);
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    TFileForUpdate file;
    return OpenForUpdate(path, file, false) && CommitUpdate(file, bytes);
}

}  // namespace platform
