// The settings file object: typed reads with defaults, writes that raise on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Raised by a failed write; what() is "Unable to write to <path>" (UTF-8).
class EIniFileException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A settings integer: decimal with an optional sign, or hexadecimal after "$" or, in a text
// longer than two characters, after "0x"/"0X" (at most FFFFFFFF, taken as a 32-bit pattern).
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

class TIniFile {
public:
    explicit TIniFile(std::string path) : path_(std::move(path)) {}

    const std::string& FileName() const { return path_; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);

private:
    std::string path_;
};
