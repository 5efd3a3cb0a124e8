// The receiver's command line and the environment values that stand in for missing flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace messenger {

struct Options {
    std::string listen = "0.0.0.0";   // --listen, QUORVEL_MESSENGER_LISTEN
    std::uint16_t port = 139;         // --port, QUORVEL_MESSENGER_PORT
    std::string codePage = "CP866";   // --codepage, QUORVEL_MESSENGER_CODEPAGE
    std::string logPath;              // --log, QUORVEL_MESSENGER_LOG; empty: DefaultLogPath()
    std::string pidFile;              // --pid-file; empty: none
    bool noWindow = false;            // --no-window
    bool notify = false;              // --notify
    bool help = false;                // --help
    int timeoutMs = 10000;            // --timeout-ms: time a connection has for each frame
    std::size_t maxConnections = 64;  // --max-connections
};

// Reads argv (flags as "--name value" or "--name=value") over the environment defaults.
// Returns an empty string when all is well, otherwise what is wrong. An invalid environment
// value is an error as well: a service that silently listens elsewhere is worse.
std::string ParseOptions(int argc, const char* const* argv, Options& options);

// The --help text.
std::string UsageText();

}  // namespace messenger
