#include "SambaPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <poll.h>
#include <sys/prctl.h>
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

sockaddr_in Loopback(std::uint16_t port, const std::string& address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
        (ntohl(a.sin_addr.s_addr) >> 24) != 127) {
        throw std::runtime_error("not a loopback address: " + address);
    }
    return a;
}

// 0 connected, otherwise the errno of the failed connect.
int TryConnect(std::uint16_t port, const std::string& address = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const sockaddr_in a = Loopback(port, address);
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

std::string FindDaemon(const std::string& name) {
    std::vector<std::string> dirs{"/usr/sbin", "/usr/local/sbin", "/sbin"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream ss(path);
        for (std::string d; std::getline(ss, d, ':');) dirs.push_back(d);
    }
    for (const auto& d : dirs) {
        const std::string p = d + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Starts a Samba daemon: stdin from /dev/null, its output into logPath, this process's
// environment with TMPDIR replaced. It gets a process group of its own, since on SIGTERM smbd
// and nmbd signal their whole group, which would otherwise take the test (and whatever runs
// it) down too; and SIGTERM when the thread that started it ends, so a test that crashes or is
// killed on a timeout leaves no daemon behind. Throws when it cannot be started.
pid_t StartDaemon(const std::string& program, const std::vector<std::string>& args,
                  const std::string& tmpDir, const std::string& logPath, int keepFd = -1) {
    std::vector<std::string> envStrings{"TMPDIR=" + tmpDir};
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) envStrings.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy{program};
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : copy) argv.push_back(s.data());
    argv.push_back(nullptr);

    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int report[2] = {-1, -1};  // the child's exec error, if any; closed by a successful exec
    if (devNull < 0 || log < 0 || pipe2(report, O_CLOEXEC) != 0) {
        const int error = errno;
        for (int fd : {devNull, log, report[0], report[1]}) {
            if (fd >= 0) close(fd);
        }
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the test may have threads.
        if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);  // the parent went before the line above
        dup2(devNull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execve(program.c_str(), argv.data(), envp.data());
        const int error = errno;
        if (write(report[1], &error, sizeof error) < 0) { /* the exit code says enough */ }
        _exit(127);
    }
    const int forkError = errno;
    close(devNull);
    close(log);
    close(report[1]);
    int execError = 0;
    const ssize_t n = pid > 0 ? read(report[0], &execError, sizeof execError) : 0;
    close(report[0]);
    if (pid < 0) {
        throw std::runtime_error("cannot fork for " + program + ": " + std::strerror(forkError));
    }
    if (n > 0) {
        WaitExit(pid, 1000);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(execError));
    }
    return pid;
}

// samba-dcerpcd, which signals on the ready pipe once it serves; throws when it ends or times
// out first.
pid_t StartRpcDaemon(const std::string& root, const std::string& confPath) {
    const std::string program = "/usr/libexec/samba/samba-dcerpcd";
    if (access(program.c_str(), X_OK) != 0) throw std::runtime_error(program + " is not installed");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = -1;
    try {
        pid = StartDaemon(program,
                          {"--libexec-rpcds", "-F", "--no-process-group", "-l", root + "/log",
                           "--ready-signal-fd=" + std::to_string(ready[1]), "-s", confPath},
                          root + "/tmp", root + "/log/samba-dcerpcd.out", ready[1]);
    } catch (...) {
        close(ready[0]);
        close(ready[1]);
        throw;
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    const bool answered = poll(&p, 1, 15000) == 1;
    close(ready[0]);
    int status = 0;
    if (!answered || waitpid(pid, &status, WNOHANG) == pid) {
        kill(pid, SIGTERM);
        WaitExit(pid, 5000);
        throw std::runtime_error("samba-dcerpcd did not start:\n" +
                                 ReadAll(root + "/log/samba-dcerpcd.out") +
                                 ReadAll(root + "/log/log.samba-dcerpcd"));
    }
    return pid;
}

void StopDaemon(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    WaitExit(pid, 10000);  // SIGKILL after that
    // Workers it forked are in its process group and would otherwise linger a while.
    kill(-pid, SIGTERM);
    pid = -1;
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

void DetachStandardInput() {
    const int fd = open("/dev/null", O_RDONLY);
    dup2(fd, 0);
    close(fd);
}

std::string RandomAccountSuffix() {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string s;
    for (int i = 0; i < 6; ++i) s += static_cast<char>(letter(random));
    return s;
}

SambaPeer::SambaPeer(SambaOptions options) {
    const std::string smbd = FindDaemon("smbd");
    const std::string nmbd = options.browser ? FindDaemon("nmbd") : std::string();
    if (smbd.empty() || (options.browser && nmbd.empty())) {
        throw std::runtime_error(
            std::string(smbd.empty() ? "smbd" : "nmbd") +
            " is not installed: these tests need Samba's daemons (Debian packages samba and "
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
             {"lock", "state", "cache", "pid", "private", "ncalrpc", "binddns", "winbindd", "nmbd",
              "log"}) {
            MakeDir(root_ + "/" + d, 0755);
        }
        WriteAll(root_ + "/hook.sh", Replace(kHook, "@MSGDIR@", root_ + "/msgs"), 0755);
        port_ = options.port ? options.port : FreeLoopbackPort();

        std::ostringstream conf;
        conf << "[global]\n"
             << "server role = standalone server\n"
             << "interfaces = " << options.address << "\n"
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
             << "nmbd:socket dir = " << root_ << "/nmbd\n"
             // smbd and nmbd log to their output; the RPC helpers smbd starts would write
             // below /var/log/samba.
             << "log file = " << root_ << "/log.%m\n"
             << "passdb backend = tdbsam:" << root_ << "/private/passdb.tdb\n"
             << "guest account = nobody\n"
             << "load printers = no\n"
             << "disable spoolss = yes\n"
             << "multicast dns register = no\n";
        if (options.browser) {
            // Names are found by broadcast on the one interface, as on a network without WINS.
            conf << "workgroup = " << options.workgroup << "\n"
                 << "local master = yes\n"
                 << "preferred master = yes\n"
                 << "os level = 65\n"
                 << "domain master = no\n"
                 << "name resolve order = bcast\n";
            if (!options.netbiosName.empty()) {
                conf << "netbios name = " << options.netbiosName << "\n";
            }
            if (!options.aliases.empty()) {
                conf << "netbios aliases =";
                for (const auto& alias : options.aliases) conf << " " << alias;
                conf << "\n";
            }
        } else {
            conf << "name resolve order = lmhosts host\n";
        }
        if (options.rpc) conf << "rpc start on demand helpers = no\n";
        if (options.messaging && !options.messageCommand.empty()) {
            conf << "message command = " << options.messageCommand << "\n";
        } else if (options.messaging) {
            conf << "message command = " << root_ << "/hook.sh '%s' '%L' '%f'\n";
        }
        const std::string confPath = root_ + "/smb.conf";
        WriteAll(confPath, conf.str(), 0644);

        const std::vector<std::string> args{"-F", "--no-process-group", "--debug-stdout", "-s",
                                            confPath};
        if (options.rpc) rpcPid_ = StartRpcDaemon(root_, confPath);
        pid_ = StartDaemon(smbd, args, root_ + "/tmp", root_ + "/smbd.log");
        if (options.browser) {
            nmbdPid_ = StartDaemon(nmbd, args, root_ + "/tmp", root_ + "/nmbd.log");
        }

        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (TryConnect(port_, options.address) != 0) {
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
    StopDaemon(nmbdPid_);
    StopDaemon(pid_);
    StopDaemon(rpcPid_);
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

std::string SambaPeer::NmbdLog() const {
    return ReadAll(root_ + "/nmbd.log");
}

bool SambaPeer::WaitForMasterBrowser(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (nmbdPid_ > 0 && Clock::now() < deadline) {
        if (NmbdLog().find("is now a local master browser") != std::string::npos) return true;
        int status = 0;
        if (waitpid(nmbdPid_, &status, WNOHANG) == nmbdPid_) {
            nmbdPid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
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
