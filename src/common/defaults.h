// Process-wide settings values, the table of message strings and the product title.
//
// Text encodings: values read from the settings file and every text the program keeps as 8-bit
// (sender names, RecipientFile) are Windows-1251 bytes. Paths the program computes itself
// (HelpFile, FAQFile, the settings file) are native (UTF-8). The message strings below are
// UTF-8; Ansi() gives their Windows-1251 form where 8-bit text is compared with them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Registry.h"
#include "platform/Version.h"

// Set once while the main window is constructed, then only read (also from the send threads).
extern std::int32_t DeltaClear;
extern std::int32_t MaxSender;
extern std::int32_t MaxThreads;
extern std::int32_t MaxLineLog;
extern std::string RecipientFile;  // Windows-1251, as written in the settings file
extern std::string HelpFile;       // native path
extern std::string FAQFile;        // native path

namespace msg {
// Texts the program's code produces (window and command texts come with the layouts).
inline constexpr std::string_view ApplicationTitle = "Quorvel";
inline constexpr std::string_view UnableToWrite = "Unable to write to %s";
inline constexpr std::string_view UnknownUser = "Неизвестный";
inline constexpr std::string_view EntireNetworkCaption = "Вся сеть";
inline constexpr std::string_view HomePage = "quorvel.example.org";
inline constexpr std::string_view AuthorMail = "mailto:quorvel@example.org";
// Delivery log texts. The first letter of the prefix is the Latin capital C.
inline constexpr std::string_view LogPrefix = "C" "ообщение ";
inline constexpr std::string_view LogSent = " отправлено";
inline constexpr std::string_view LogNotSent = " не отправлено";
// Input/output errors, as the general error report shows them.
inline constexpr std::string_view InvalidNumericInput = "Invalid numeric input";
inline constexpr std::string_view FileNotFound = "File not found";
inline constexpr std::string_view FileAccessDenied = "File access denied";
inline constexpr std::string_view DiskFull = "Disk full";
inline constexpr std::string_view TooManyOpenFiles = "Too many open files";
inline constexpr std::string_view InOutError = "I/O error %d";
// A book that failed to load is kept; the tree goes beside it.
inline constexpr std::string_view BookKeptAfterFailedLoad =
    "Адресная книга %s была прочитана не полностью и оставлена без изменений. "
    "Адреса сохранены в файл %s";
// Outcomes of the messenger service commands.
inline constexpr std::string_view MessengerStarted = "Служба сообщений - запущена";
inline constexpr std::string_view MessengerNotStarted = "Службу сообщений не удалось запустить";
inline constexpr std::string_view MessengerStopped = "Служба сообщений - остановлена";
inline constexpr std::string_view MessengerNotStopped = "Службу сообщений не удалось остановить";
}  // namespace msg

// A message string's Windows-1251 form.
std::string Ansi(std::string_view utf8);

// Each "%s" or "%d" in a message string replaced by the next argument, in order.
std::string FormatMessage(std::string_view format, std::string_view arg);
std::string FormatMessage(std::string_view format, std::string_view arg1, std::string_view arg2);

// The product title from a version resource block: "Quorvel 1.2.0.19" (full) or
// "Quorvel 1.2" (short); empty when the block is empty.
std::string GetVersionStringFromBlock(const platform::VersionBlock& block, bool full);
// The same from the running executable's own resource.
std::string GetVersionString(bool full);
// The short form of a file version ("1.2.0.19" -> "1.2").
std::string ShortenFileVersion(const std::string& fileVersion);

// The text (Windows-1251) of a REG_SZ or REG_EXPAND_SZ value, unexpanded, up to its first zero.
// Empty when the key or value is missing or the value is of another type; nothing is raised.
std::string ReadRegString(platform::HKEY root, const std::string& key, const std::string& valueName);
