// Starting and stopping real processes from a test.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

// Starts program with args; env entries are added to (or replace) this process's environment.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {});
// The exit code, -signal for a signal, or -1000 when it has not ended within timeoutMs (the
// process is then killed). pump runs while waiting (for example Qt's event loop).
int WaitExit(pid_t pid, int timeoutMs, void (*pump)() = nullptr);
// Copies a file, keeping its mode.
void CopyExecutable(const std::string& from, const std::string& to);
// Waits until a file exists.
bool WaitForFile(const std::string& path, int timeoutMs);

}  // namespace testing_support
