#include "SambaPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

#include "Process.h"

extern char** environ;

namespace testing_support {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot write " + path);
}

void MakeDir(const std::string& path, mode_t mode) {
    // chmod as well: mkdir's mode passes through the umask.
    if ((mkdir(path.c_str(), mode) != 0 && errno != EEXIST) || chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// 0 connected, otherwise the errno of the failed connect.
int TryConnect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const sockaddr_in a = Loopback(port);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

bool CanBind(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in a = Loopback(port);
    const bool ok = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

std::string FindSmbd() {
    std::vector<std::string> dirs{"/usr/sbin", "/usr/local/sbin", "/sbin"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream ss(path);
        for (std::string d; std::getline(ss, d, ':');) dirs.push_back(d);
    }
    for (const auto& d : dirs) {
        const std::string p = d + "/smbd";
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

bool IsProcess(pid_t pid, const std::string& name) {
    std::string comm = ReadAll("/proc/" + std::to_string(pid) + "/comm");
    return comm.rfind(name.substr(0, 15), 0) == 0;  // comm holds at most 15 characters
}

// A process that is not our child: signal it and poll until it is gone.
void StopForeign(pid_t pid) {
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (kill(pid, 0) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (kill(pid, 0) == 0) kill(pid, SIGKILL);
}

const char* const kHook = R"(#!/bin/sh
# smbd runs this for every message: $1 the body file, $2 the called name, $3 the sender.
# Written aside and renamed, so a reader never sees half a message.
dir='@MSGDIR@'
part="$dir/.$$.part"
{ printf '%s\n%s\n' "$2" "$3" && cat "$1"; } > "$part" && mv "$part" "$dir/$(date +%s%N).$$.msg"
rm -f "$1"
)";

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// Runs a tool with input on stdin (never a terminal), its output collected; the exit code
// together with the output.
std::pair<int, std::string> RunTool(const std::vector<std::string>& args, const std::string& input) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    char outTemplate[] = "/tmp/quorvel-tool-XXXXXX";
    const int outFd = mkstemp(outTemplate);
    if (outFd < 0) throw std::runtime_error("mkstemp failed");
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    posix_spawn_file_actions_adddup2(&files, outFd, 1);
    posix_spawn_file_actions_adddup2(&files, outFd, 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    close(in[0]);
    if (rc == 0 && !input.empty()) {
        if (write(in[1], input.data(), input.size()) < 0) { /* the tool reports the lack */ }
    }
    close(in[1]);
    const int code = rc == 0 ? WaitExit(pid, 20000) : -2000;
    close(outFd);
    std::string output = ReadAll(outTemplate);
    unlink(outTemplate);
    if (rc != 0) output = std::string("cannot start ") + args[0] + ": " + std::strerror(rc);
    return {code, output};
}

}  // namespace

std::uint16_t FreeLoopbackPort() {
    std::mt19937 random(std::random_device{}());
    // Below the ephemeral range, so no outgoing connection takes it meanwhile.
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        // smbd sets SO_REUSEPORT and would share a port silently: nobody may be bound there,
        // nor answer there.
        if (CanBind(port) && TryConnect(port) == ECONNREFUSED) return port;
    }
    throw std::runtime_error("no free loopback port found");
}

SambaPeer::SambaPeer(SambaOptions options) {
    const std::string smbd = FindSmbd();
    if (smbd.empty()) {
        throw std::runtime_error(
            "smbd is not installed: these tests need Samba's smbd (Debian packages samba and "
            "smbclient; scripts/setup.sh installs them)");
    }
    // Under /tmp rather than the test's private TMPDIR: the message command runs as the guest
    // account, which must be able to reach the hook and the message folder.
    std::string templ = "/tmp/quorvel-smbd-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    try {
        MakeDir(root_, 0755);
        MakeDir(root_ + "/tmp", 01777);
        MakeDir(root_ + "/msgs", 01777);
        for (const char* d :
             {"lock", "state", "cache", "pid", "private", "ncalrpc", "binddns", "winbindd"}) {
            MakeDir(root_ + "/" + d, 0755);
        }
        WriteAll(root_ + "/hook.sh", Replace(kHook, "@MSGDIR@", root_ + "/msgs"), 0755);
        port_ = options.port ? options.port : FreeLoopbackPort();

        std::ostringstream conf;
        conf << "[global]\n"
             << "server role = standalone server\n"
             << "interfaces = 127.0.0.1\n"
             << "bind interfaces only = yes\n"
             << "smb ports = " << port_ << "\n"
             << "server min protocol = " << (options.smb2Only ? "SMB2" : "NT1") << "\n"
             << "dos charset = CP866\n"
             << "unix charset = UTF-8\n"
             << "lock directory = " << root_ << "/lock\n"
             << "state directory = " << root_ << "/state\n"
             << "cache directory = " << root_ << "/cache\n"
             << "pid directory = " << root_ << "/pid\n"
             << "private dir = " << root_ << "/private\n"
             << "ncalrpc dir = " << root_ << "/ncalrpc\n"
             << "binddns dir = " << root_ << "/binddns\n"
             << "winbindd socket directory = " << root_ << "/winbindd\n"
             << "passdb backend = tdbsam:" << root_ << "/private/passdb.tdb\n"
             << "guest account = nobody\n"
             << "load printers = no\n"
             << "disable spoolss = yes\n"
             << "multicast dns register = no\n"
             << "name resolve order = lmhosts host\n";
        if (options.messaging && !options.messageCommand.empty()) {
            conf << "message command = " << options.messageCommand << "\n";
        } else if (options.messaging) {
            conf << "message command = " << root_ << "/hook.sh '%s' '%L' '%f'\n";
        }
        const std::string confPath = root_ + "/smb.conf";
        WriteAll(confPath, conf.str(), 0644);

        const std::string logPath = root_ + "/smbd.log";
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        std::vector<std::string> envStrings{"TMPDIR=" + root_ + "/tmp"};
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "TMPDIR=", 7) != 0) envStrings.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> args{smbd, "-F",    "--no-process-group", "--debug-stdout",
                                      "-s", confPath};
        std::vector<char*> argv;
        for (auto& s : args) argv.push_back(s.data());
        argv.push_back(nullptr);
        // A process group of its own: on SIGTERM smbd signals its whole group, which would
        // otherwise take the test (and whatever runs it) down too.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int rc = posix_spawn(&pid_, smbd.c_str(), &files, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + smbd + ": " + std::strerror(rc));
        }

        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (TryConnect(port_) != 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("smbd ended at start:\n" + Log());
            }
            if (Clock::now() > deadline) {
                throw std::runtime_error("smbd does not accept connections:\n" + Log());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        Stop();
        throw;
    }
}

SambaPeer::~SambaPeer() {
    Stop();
}

void SambaPeer::Stop() {
    RemoveAccounts();
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        WaitExit(pid_, 10000);  // SIGKILL after that
        pid_ = -1;
    }
    // Started by smbd for RPC calls; it outlives smbd.
    const std::string pidFile = ReadAll(root_ + "/pid/samba-dcerpcd.pid");
    const pid_t helper = static_cast<pid_t>(std::atoi(pidFile.c_str()));
    if (helper > 0 && IsProcess(helper, "samba-dcerpcd")) StopForeign(helper);
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
}

std::vector<std::string> SambaPeer::MessageFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_ + "/msgs", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());  // the names start with the time of arrival
    return files;
}

std::size_t SambaPeer::PendingMessages() const {
    return MessageFiles().size();
}

std::vector<SambaMessage> SambaPeer::TakeMessages(std::size_t n, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> files = MessageFiles();
    while (files.size() < n) {
        if (Clock::now() > deadline) {
            throw std::runtime_error("expected " + std::to_string(n) + " messages, " +
                                     std::to_string(files.size()) + " arrived; smbd said:\n" +
                                     Log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        files = MessageFiles();
    }
    std::vector<SambaMessage> messages;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string content = ReadAll(files[i]);
        const auto first = content.find('\n');
        const auto second = content.find('\n', first == std::string::npos ? 0 : first + 1);
        if (second == std::string::npos) throw std::runtime_error("bad message file " + files[i]);
        messages.push_back({content.substr(second + 1), content.substr(0, first),
                            content.substr(first + 1, second - first - 1)});
        fs::remove(files[i]);
    }
    return messages;
}

std::string SambaPeer::Log() const {
    return ReadAll(root_ + "/smbd.log");
}

void SambaPeer::AddAccount(const std::string& name, const std::string& fullName,
                           const std::string& password, bool machine) {
    const std::string unixName = machine ? name + "$" : name;
    auto [code, output] = RunTool({"useradd", "-M", "-N", "-s", "/usr/sbin/nologin", "-c",
                                   fullName, unixName},
                                  {});
    if (code != 0) throw std::runtime_error("useradd " + unixName + " failed:\n" + output);
    accounts_.push_back(unixName);
    if (machine) {
        std::tie(code, output) =
            RunTool({"smbpasswd", "-c", ConfigPath(), "-s", "-a", "-m", name}, {});
    } else {
        std::tie(code, output) = RunTool({"smbpasswd", "-c", ConfigPath(), "-s", "-a", name},
                                         password + "\n" + password + "\n");
    }
    if (code != 0) throw std::runtime_error("smbpasswd " + unixName + " failed:\n" + output);
}

void SambaPeer::RemoveAccounts() {
    // The passdb goes with the folder; the system accounts must go explicitly.
    for (const auto& name : accounts_) RunTool({"userdel", name}, {});
    accounts_.clear();
}

}  // namespace testing_support
