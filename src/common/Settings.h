// Where the settings live and the values read from the [Defaults] section.
#pragma once

#include <string>

#include "common/IniFile.h"

struct TSettingsPaths {
    std::string exeFolder;      // ends in "/"
    std::string dataFolder;     // where the .ini and the default .dat go; ends in "/"
    std::string iniFile;        // dataFolder + executable name with ".ini"
    std::string defaultBook;    // dataFolder + executable name with ".dat"
    std::string helpFile;       // exeFolder + "HELP/help.htm" (or the installed copy)
    std::string faqFile;
};

// Paths for the executable at exePath (native). The data folder is the executable's own
// folder, or $XDG_CONFIG_HOME/Quorvel/ (default ~/.config/Quorvel/) when that cannot be
// written, as for an installed program.
TSettingsPaths ComputeSettingsPaths(const std::string& exePath);

// "name.ext" -> "name" + newExt; "name" -> "name" + newExt.
std::string ReplaceExtension(const std::string& fileName, const std::string& newExt);

// Reads DeltaClear, MaxSender, MaxThreads, MaxLineLog and RecipientFile into the process-wide
// values, and sets HelpFile and FAQFile.
void LoadDefaults(const TIniFile& ini, const TSettingsPaths& paths);

// Writes the [Defaults] values back, in their order. Every value is tried even after a failure;
// the first failure is then raised.
void SaveDefaults(TIniFile& ini);
