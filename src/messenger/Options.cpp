#include "messenger/Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "messenger/Message.h"

namespace messenger {

namespace {

std::optional<long> Number(std::string_view text, long min, long max) {
    long value = 0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size() || value < min ||
        value > max) {
        return std::nullopt;
    }
    return value;
}

std::string SetListen(Options& o, std::string_view v) {
    in_addr a{};
    const std::string s(v);
    if (inet_pton(AF_INET, s.c_str(), &a) != 1) return "not an IPv4 address: " + s;
    o.listen = s;
    return {};
}

std::string SetPort(Options& o, std::string_view v) {
    const auto n = Number(v, 1, 65535);
    if (!n) return "not a port number (1-65535): " + std::string(v);
    o.port = static_cast<std::uint16_t>(*n);
    return {};
}

std::string SetCodePage(Options& o, std::string_view v) {
    const std::string s(v);
    if (!UsableCodePage(s.c_str())) return "not a usable code page: " + s;
    o.codePage = s;
    return {};
}

std::string SetLog(Options& o, std::string_view v) {
    if (v.empty()) return "the log file name is empty";
    o.logPath = std::string(v);
    return {};
}

}  // namespace

std::string ParseOptions(int argc, const char* const* argv, Options& o) {
    struct EnvDefault {
        const char* name;
        std::string (*set)(Options&, std::string_view);
    };
    for (const EnvDefault& e : {EnvDefault{"QUORVEL_MESSENGER_LISTEN", SetListen},
                                EnvDefault{"QUORVEL_MESSENGER_PORT", SetPort},
                                EnvDefault{"QUORVEL_MESSENGER_CODEPAGE", SetCodePage},
                                EnvDefault{"QUORVEL_MESSENGER_LOG", SetLog}}) {
        const char* value = std::getenv(e.name);
        if (!value || !*value) continue;
        if (std::string err = e.set(o, value); !err.empty())
            return std::string(e.name) + ": " + err;
    }
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = arg.find('=');
            arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        auto flag = [&](bool& target) {
            if (inlineValue) return std::string(arg) + " takes no value";
            target = true;
            return std::string();
        };
        auto value = [&](std::string_view& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string err;
        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            err = flag(o.help);
        } else if (arg == "--no-window") {
            err = flag(o.noWindow);
        } else if (arg == "--notify") {
            err = flag(o.notify);
        } else if (arg == "--listen" || arg == "--port" || arg == "--codepage" || arg == "--log" ||
                   arg == "--pid-file" || arg == "--timeout-ms" || arg == "--max-connections") {
            if (!value(v)) return std::string(arg) + " needs a value";
            if (arg == "--listen") {
                err = SetListen(o, v);
            } else if (arg == "--port") {
                err = SetPort(o, v);
            } else if (arg == "--codepage") {
                err = SetCodePage(o, v);
            } else if (arg == "--log") {
                err = SetLog(o, v);
            } else if (arg == "--pid-file") {
                if (v.empty()) err = "the pid file name is empty";
                o.pidFile = std::string(v);
            } else if (arg == "--timeout-ms") {
                const auto n = Number(v, 1, 3'600'000);
                if (!n)
                    err = "not a timeout in milliseconds (1-3600000): " + std::string(v);
                else
                    o.timeoutMs = static_cast<int>(*n);
            } else {
                const auto n = Number(v, 1, 4096);
                if (!n)
                    err = "not a connection count (1-4096): " + std::string(v);
                else
                    o.maxConnections = static_cast<std::size_t>(*n);
            }
        } else {
            return "unknown argument: " + std::string(argv[i]);
        }
        if (!err.empty()) return err;
    }
    return {};
}

std::string UsageText() {
    return "Usage: quorvel-messenger [OPTION]...\n"
           "Receives messenger messages (NetBIOS session service, SMB1 message commands),\n"
           "shows each in a window and appends it to the message log.\n"
           "\n"
           "  --listen ADDR         IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port N              TCP port (default 139)\n"
           "  --codepage NAME       code page of the text on the wire (default CP866)\n"
           "  --log FILE            message log (default $XDG_STATE_HOME/quorvel/messages.log,\n"
           "                        or ~/.local/state/quorvel/messages.log)\n"
           "  --pid-file FILE       write the pid there once listening; locked while running\n"
           "  --no-window           no windows: only the log (also without a display)\n"
           "  --notify              a desktop notification for each message as well\n"
           "  --timeout-ms N        time a connection has for each frame (default 10000)\n"
           "  --max-connections N   connections served at once (default 64)\n"
           "  --help                this text\n"
           "\n"
           "Environment, used where a flag is absent: QUORVEL_MESSENGER_LISTEN,\n"
           "QUORVEL_MESSENGER_PORT, QUORVEL_MESSENGER_CODEPAGE, QUORVEL_MESSENGER_LOG.\n"
           "Port 139 needs CAP_NET_BIND_SERVICE: setcap cap_net_bind_service=+ep on the\n"
           "installed program, or start it from quorvel-messenger.socket.\n"
           "\n"
           "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot listen or open the log,\n"
           "2 when another instance holds the pid file, 64 for a wrong command line.\n";
}

}  // namespace messenger
