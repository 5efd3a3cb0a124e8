// The remembered sender names, newest first, kept in the settings file's [Sender] section.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/IniFile.h"

using TSenderList = std::vector<std::string>;  // Windows-1251 names; index 0 is the top

// Sender1..Sender<maxSender>, skipping missing and empty ones; the fallback name when none.
TSenderList LoadSenderNames(const TIniFile& ini, std::int32_t maxSender,
                            const std::function<std::string()>& fallback);

// Moves the first name equal to `typed` (Latin letters compared without regard to case) to the
// top, or inserts `typed` there; then drops the last name when the list is longer than
// maxSender. Returns the name now standing for the sender: the stored form of a matched name.
std::string AddToSenderList(TSenderList& list, const std::string& typed, std::int32_t maxSender);

// Sender1.. from the top; keys beyond the list are left as they are.
void SaveSenderNames(TIniFile& ini, const TSenderList& list);

// The logged-on user's name, or "Неизвестный" (Windows-1251).
std::string GetUserFromWindows();

// Equal when only the case of Latin letters a-z differs.
bool SameTextLatin(const std::string& a, const std::string& b);
