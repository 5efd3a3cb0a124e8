#include "common/Settings.h"

#include <cstdlib>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

#include "common/defaults.h"
#include "platform/CodePage.h"

namespace {

constexpr char kDefaults[] = "Defaults";

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg == '/') base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home) base = std::string(home) + "/.config";
    else base = "/tmp";
    return base + "/Quorvel/";
}

void MakeFolders(const std::string& folder) {
    for (std::size_t pos = 1; (pos = folder.find('/', pos)) != std::string::npos; ++pos)
        mkdir(folder.substr(0, pos).c_str(), 0700);
}

}  // namespace

std::string ReplaceExtension(const std::string& fileName, const std::string& newExt) {
    auto dot = fileName.rfind('.');
    return (dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot)) + newExt;
}

TSettingsPaths ComputeSettingsPaths(const std::string& exePath) {
    TSettingsPaths p;
    p.exeFolder = FolderOf(exePath);
    const std::string name = NameOf(exePath);
    p.dataFolder = p.exeFolder;
    if (access(p.exeFolder.c_str(), W_OK) != 0) {
        p.dataFolder = UserConfigFolder();
        MakeFolders(p.dataFolder);
    }
    p.iniFile = p.dataFolder + ReplaceExtension(name, ".ini");
    p.defaultBook = p.dataFolder + ReplaceExtension(name, ".dat");
    p.helpFile = p.exeFolder + "HELP/help.htm";
    p.faqFile = p.exeFolder + "HELP/faq.htm";
    // An installed program finds its pages under share/ beside bin/.
    const std::string installed = p.exeFolder + "../share/quorvel/HELP/";
    if (!IsFile(p.helpFile) && IsFile(installed + "help.htm")) {
        p.helpFile = installed + "help.htm";
        p.faqFile = installed + "faq.htm";
    }
    return p;
}

void LoadDefaults(const TIniFile& ini, const TSettingsPaths& paths) {
    DeltaClear = ini.ReadInteger(kDefaults, "DeltaClear", 5);
    MaxSender = ini.ReadInteger(kDefaults, "MaxSender", 5);
    MaxThreads = ini.ReadInteger(kDefaults, "MaxThreads", 50);
    MaxLineLog = ini.ReadInteger(kDefaults, "MaxLineLog", 300);
    HelpFile = paths.helpFile;
    FAQFile = paths.faqFile;
    RecipientFile = ini.ReadString(kDefaults, "RecipientFile",
                                   platform::Utf8ToCp1251(paths.defaultBook));
}

void SaveDefaults(TIniFile& ini) {
    std::exception_ptr first;
    auto attempt = [&](auto&& write) {
        try {
            write();
        } catch (const EIniFileException&) {
            if (!first) first = std::current_exception();
        }
    };
    attempt([&] { ini.WriteInteger(kDefaults, "DeltaClear", DeltaClear); });
    attempt([&] { ini.WriteInteger(kDefaults, "MaxSender", MaxSender); });
    attempt([&] { ini.WriteInteger(kDefaults, "MaxLineLog", MaxLineLog); });
    attempt([&] { ini.WriteInteger(kDefaults, "MaxThreads", MaxThreads); });
    attempt([&] { ini.WriteString(kDefaults, "RecipientFile", RecipientFile); });
    if (first) std::rethrow_exception(first);
}
