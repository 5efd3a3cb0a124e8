#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "platform/Version.h"
#include "version_config.h"

using namespace platform;

namespace {

std::string Query(const VersionBlock& block, const char* subBlock) {
    std::string value;
    return VerQueryValueA(block, subBlock, value) ? value : "<absent>";
}

TEST(VersionResource, RunningExecutableHasTheCompiledInValues) {
    const std::string self = ExecutablePath();
    ASSERT_FALSE(self.empty());
    const std::uint32_t size = GetFileVersionInfoSizeA(self);
    ASSERT_GT(size, 0u);
    VersionBlock block;
    ASSERT_TRUE(GetFileVersionInfoA(self, block));
    EXPECT_EQ(block.size(), size);

    EXPECT_EQ(Query(block, "\\VarFileInfo\\Translation"), std::string("\x19\x04\xE3\x04", 4));
    const struct {
        const char* subBlock;
        std::string value;
    } strings[] = {
        {"\\StringFileInfo\\041904E3\\ProductName", "Quorvel"},
        {"\\StringFileInfo\\041904E3\\FileDescription", "Quorvel"},
        {"\\StringFileInfo\\041904E3\\FileVersion", QUORVEL_FILE_VERSION},
        {"\\StringFileInfo\\041904E3\\ProductVersion", QUORVEL_FILE_VERSION},
    };
    for (const auto& s : strings) EXPECT_EQ(Query(block, s.subBlock), s.value) << s.subBlock;
}

TEST(VersionResource, ExecutableReachedThroughSymlink) {
    testing_support::TempDir dir;
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(ExecutablePath().c_str(), link.c_str()), 0);
    EXPECT_GT(GetFileVersionInfoSizeA(link), 0u);
}

TEST(VersionResource, OtherPathsHaveNone) {
    testing_support::TempDir dir;
    const std::string copy = dir.file("copy");
    testing_support::WriteFileBytes(copy, "not an executable");
    for (const std::string& path :
         {std::string("/bin/sh"), std::string(), std::string("/no/such/file"), dir.path(), copy}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(GetFileVersionInfoSizeA(path), 0u);
        VersionBlock block{1, 2, 3};
        EXPECT_FALSE(GetFileVersionInfoA(path, block));
    }
}

class VersionQuery : public ::testing::Test {
protected:
    const VersionBlock block_ = MakeVersionBlock({
        {{0x0419, 1251}, {0x0409, 1252}},
        {
            {"041904E3", "FileVersion", "1.2.0.19"},
            {"041904E3", "Comments", "\xCF\xF0\xE8\xE2\xE5\xF2"},
            {"040904E4", "FileVersion", "9.9"},
            {"041904E3", "Empty", ""},
            {"041904E3", "Binary", std::string("a\0b", 3)},
        },
    });
};

TEST_F(VersionQuery, FindsValues) {
    const struct {
        const char* subBlock;
        std::string value;
    } cases[] = {
        {"\\VarFileInfo\\Translation", std::string("\x19\x04\xE3\x04\x09\x04\xE4\x04", 8)},
        {"\\StringFileInfo\\041904E3\\FileVersion", "1.2.0.19"},
        {"\\StringFileInfo\\040904E4\\FileVersion", "9.9"},
        {"\\stringfileinfo\\041904e3\\FILEVERSION", "1.2.0.19"},
        {"\\VARFILEINFO\\translation", std::string("\x19\x04\xE3\x04\x09\x04\xE4\x04", 8)},
        {"StringFileInfo\\041904E3\\FileVersion", "1.2.0.19"},
        {"\\\\StringFileInfo\\041904E3\\FileVersion", "1.2.0.19"},
        {"\\StringFileInfo\\041904E3\\Comments", "\xCF\xF0\xE8\xE2\xE5\xF2"},
        {"\\StringFileInfo\\041904E3\\Empty", ""},
        {"\\StringFileInfo\\041904E3\\Binary", std::string("a\0b", 3)},
        // Absent
        {"\\StringFileInfo\\041904E3\\ProductName", "<absent>"},
        {"\\StringFileInfo\\040904E4\\Comments", "<absent>"},
        {"\\StringFileInfo\\041904E3\\FileVers", "<absent>"},
        {"\\StringFileInfo\\041904E3", "<absent>"},
        {"\\StringFileInfo\\041904E3\\FileVersion\\x", "<absent>"},
        {"\\VarFileInfo", "<absent>"},
        {"\\", "<absent>"},
        {"", "<absent>"},
    };
    for (const auto& c : cases) EXPECT_EQ(Query(block_, c.subBlock), c.value) << c.subBlock;
}

TEST_F(VersionQuery, NoTranslations) {
    const VersionBlock block = MakeVersionBlock({{}, {{"041904E3", "FileVersion", "1"}}});
    EXPECT_EQ(Query(block, "\\VarFileInfo\\Translation"), "<absent>");
    EXPECT_EQ(Query(block, "\\StringFileInfo\\041904E3\\FileVersion"), "1");
}

TEST_F(VersionQuery, DamagedBlocks) {
    EXPECT_EQ(Query({}, "\\VarFileInfo\\Translation"), "<absent>");
    // The queried string is the last record, so every shorter cut has lost it.
    for (std::size_t n = 0; n < block_.size(); ++n) {
        const VersionBlock cut(block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(Query(cut, "\\StringFileInfo\\041904E3\\Binary"), "<absent>") << n;
    }
    VersionBlock garbage = block_;
    garbage[0] ^= 0xFF;
    EXPECT_EQ(Query(garbage, "\\StringFileInfo\\041904E3\\FileVersion"), "<absent>");
}

}  // namespace
