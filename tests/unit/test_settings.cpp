// Settings values: number forms, defaults, paths, and the [Defaults] write-back.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "common/IniFile.h"
#include "common/Settings.h"
#include "common/defaults.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

TEST(IniInteger, Forms) {
    struct Case {
        const char* text;
        std::optional<std::int32_t> value;
    } cases[] = {
        {"16", 16},          {"+16", 16},       {"-16", -16},         {"0x10", 16},
        {"0X10", 16},        {"$10", 16},       {"$ff", 255},         {"-$10", -16},
        {"$FFFFFFFF", -1},   {"$100000000", {}}, {"2147483647", 2147483647},
        {"2147483648", {}},  {"-2147483648", INT32_MIN},              {"ten", {}},
        {"", {}},            {"$", {}},         {"0x", {}},           {"12a", {}},
        {"1 2", {}},         {"x10", {}},       {"00", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.value) << c.text;
}

class DefaultsTest : public ::testing::Test {
protected:
    TempDir dir;
    TSettingsPaths paths() const { return ComputeSettingsPaths(dir.file("Quorvel")); }
    void load(const std::string& iniText) {
        WriteFileBytes(paths().iniFile, iniText);
        TIniFile ini(paths().iniFile);
        LoadDefaults(ini, paths());
    }
};

TEST_F(DefaultsTest, MissingFileGivesDefaultsAndPathsBesideTheExecutable) {
    TIniFile ini(dir.file("absent.ini"));
    LoadDefaults(ini, paths());
    EXPECT_EQ(DeltaClear, 5);
    EXPECT_EQ(MaxSender, 5);
    EXPECT_EQ(MaxThreads, 50);
    EXPECT_EQ(MaxLineLog, 300);
    EXPECT_EQ(RecipientFile, dir.file("Quorvel.dat"));
    EXPECT_EQ(HelpFile, dir.file("HELP/help.htm"));
    EXPECT_EQ(FAQFile, dir.file("HELP/faq.htm"));
    EXPECT_EQ(paths().iniFile, dir.file("Quorvel.ini"));
}

TEST_F(DefaultsTest, ValuesFromTheFile) {
    struct Case {
        const char* ini;
        std::int32_t deltaClear, maxSender, maxThreads, maxLineLog;
    } cases[] = {
        {"[Defaults]\r\nMaxThreads=0x10\r\n", 5, 5, 16, 300},
        {"[Defaults]\r\nMaxThreads=$10\r\n", 5, 5, 16, 300},
        {"[Defaults]\r\nMaxThreads=ten\r\n", 5, 5, 50, 300},
        {"[defaults]\nmaxsender=2\nMAXLINELOG=10\nDeltaClear=9\n", 9, 2, 50, 10},
        {"[Other]\r\nMaxThreads=7\r\n", 5, 5, 50, 300},
    };
    for (const Case& c : cases) {
        load(c.ini);
        EXPECT_EQ(DeltaClear, c.deltaClear) << c.ini;
        EXPECT_EQ(MaxSender, c.maxSender) << c.ini;
        EXPECT_EQ(MaxThreads, c.maxThreads) << c.ini;
        EXPECT_EQ(MaxLineLog, c.maxLineLog) << c.ini;
    }
}

TEST_F(DefaultsTest, EmptyRecipientFileStaysEmptyAndIsWrittenBack) {
    load("[Defaults]\r\nRecipientFile=\r\n");
    EXPECT_EQ(RecipientFile, "");
    TIniFile ini(paths().iniFile);
    SaveDefaults(ini);
    EXPECT_EQ(ini.ReadString("Defaults", "RecipientFile", "missing"), "");
}

TEST_F(DefaultsTest, DeltaClearSurvivesARoundTripAndWritesKeepTheirOrder) {
    load("[Defaults]\r\nDeltaClear=9\r\n");
    TIniFile ini(paths().iniFile);
    SaveDefaults(ini);
    EXPECT_EQ(ReadFileBytes(paths().iniFile),
              "[Defaults]\r\nDeltaClear=9\r\nMaxSender=5\r\nMaxLineLog=300\r\nMaxThreads=50\r\n"
              "RecipientFile=" + dir.file("Quorvel.dat") + "\r\n");
}

TEST_F(DefaultsTest, ExecutableNameDecidesTheFileNames) {
    const TSettingsPaths post = ComputeSettingsPaths(dir.file("post"));
    EXPECT_EQ(post.iniFile, dir.file("post.ini"));
    EXPECT_EQ(post.defaultBook, dir.file("post.dat"));
    const TSettingsPaths dotted = ComputeSettingsPaths(dir.file("post.bin"));
    EXPECT_EQ(dotted.iniFile, dir.file("post.ini"));
}

TEST_F(DefaultsTest, UnwritableExecutableFolderKeepsDataInTheUserConfigFolder) {
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    const TSettingsPaths p = ComputeSettingsPaths("/nonexistent-folder/bin/Quorvel");
    EXPECT_EQ(p.iniFile, dir.file("config/Quorvel/Quorvel.ini"));
    EXPECT_EQ(p.defaultBook, dir.file("config/Quorvel/Quorvel.dat"));
    EXPECT_TRUE(testing_support::FileExists(dir.file("config/Quorvel")));
    EXPECT_EQ(p.helpFile, "/nonexistent-folder/bin/HELP/help.htm");
}

TEST_F(DefaultsTest, FailedWriteRaisesWithThePathAndStillTriesTheOtherValues) {
    TIniFile ini(dir.file("missing-folder/Quorvel.ini"));
    try {
        SaveDefaults(ini);
        FAIL() << "no error raised";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("missing-folder/Quorvel.ini"));
    }
}
