#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/Profile.h"

using namespace platform;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class ProfileTest : public ::testing::Test {
protected:
    TempDir dir_;
    const std::string ini_ = dir_.file("Quorvel.ini");
};

TEST_F(ProfileTest, Reads) {
    const struct {
        const char* what;
        std::string file;
        const char* section;
        const char* key;
        std::string expected;
    } cases[] = {
        {"plain", "[Sender]\r\nName=Ivan\r\n", "Sender", "Name", "Ivan"},
        {"names ignore case", "[SeNdEr]\r\nnAmE=Ivan\r\n", "sender", "NAME", "Ivan"},
        {"blanks and tabs trimmed", " [ Sender ] \r\n \tName \t= \t Ivan Petrov\t \r\n", "Sender",
         "Name", "Ivan Petrov"},
        {"double quotes removed", "[S]\r\nk=\"  spaced  \"\r\n", "S", "k", "  spaced  "},
        {"single quotes removed", "[S]\r\nk='x'\r\n", "S", "k", "x"},
        {"only one pair of quotes", "[S]\r\nk=\"\"x\"\"\r\n", "S", "k", "\"x\""},
        {"mismatched quotes kept", "[S]\r\nk='x\"\r\n", "S", "k", "'x\""},
        {"a lone quote kept", "[S]\r\nk=\"\r\n", "S", "k", "\""},
        {"empty value is not missing", "[S]\r\nk=\r\n", "S", "k", ""},
        {"empty quoted value", "[S]\r\nk=\"\"\r\n", "S", "k", ""},
        {"value keeps later equals signs", "[S]\r\nk=a=b\r\n", "S", "k", "a=b"},
        {"LF line ends", "[S]\nk=v\nz=w\n", "S", "z", "w"},
        {"last line without line end", "[S]\r\nk=v", "S", "k", "v"},
        {"first of duplicate keys", "[S]\r\nk=1\r\nK=2\r\n", "S", "k", "1"},
        {"first of duplicate sections", "[S]\r\nk=1\r\n[s]\r\nk=2\r\n", "S", "k", "1"},
        {"key after another section", "[A]\r\nk=1\r\n[B]\r\nk=2\r\n", "B", "k", "2"},
        {"Windows-1251 bytes as they are", "[S]\r\nk=\xCF\xF0\xE8\xE2\xE5\xF2\r\n", "S", "k",
         "\xCF\xF0\xE8\xE2\xE5\xF2"},
        // Missing, so the default comes back.
        {"missing key", "[S]\r\nk=v\r\n", "S", "other", "def"},
        {"missing section", "[S]\r\nk=v\r\n", "T", "k", "def"},
        {"key in the wrong section", "[A]\r\nk=v\r\n[B]\r\n", "B", "k", "def"},
        {"key in a later section", "[S]\r\nx=1\r\n[T]\r\nk=2\r\n", "S", "k", "def"},
        {"key only in a duplicate section", "[S]\r\nx=1\r\n[S]\r\nk=2\r\n", "S", "k", "def"},
        {"key before any section", "k=v\r\n[S]\r\n", "S", "k", "def"},
        {"commented key", "[S]\r\n;k=v\r\n", "S", "k", "def"},
        {"line without equals sign", "[S]\r\nk\r\n", "S", "k", "def"},
        {"key only a prefix", "[S]\r\nkey=v\r\n", "S", "ke", "def"},
        {"empty file", "", "S", "k", "def"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(ini_, c.file);
        EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "def", ini_), c.expected);
    }
}

TEST_F(ProfileTest, MissingFileGivesDefault) {
    EXPECT_EQ(GetPrivateProfileString("S", "k", "def", dir_.file("none.ini")), "def");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", dir_.file("none.ini")), "");
}

TEST_F(ProfileTest, LongValuesAreTruncated) {
    const std::string longValue(3000, 'x');
    WriteFileBytes(ini_,
                   "[S]\r\nk=" + longValue + "\r\nexact=" + longValue.substr(0, 2047) + "\r\n");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", ini_), longValue.substr(0, 2047));
    EXPECT_EQ(GetPrivateProfileString("S", "exact", "", ini_).size(), 2047u);
    EXPECT_EQ(GetPrivateProfileString("S", "missing", longValue, ini_).size(), 2047u);
}

TEST_F(ProfileTest, Writes) {
    const struct {
        const char* what;
        std::string before;
        const char* section;
        const char* key;
        const char* value;
        std::string after;
    } cases[] = {
        {"changes a value, keeps its spacing and spelling",
         "[Sender]\r\n  NAME = old\r\nOther=1\r\n", "sender", "name", "new",
         "[Sender]\r\n  NAME = new\r\nOther=1\r\n"},
        {"keeps other lines, comments and order, turns LF into CR LF",
         "; settings\n[A]\nx=1\n\n[Sender]\n;Name=commented\nName=old\n\n[B]\ny=2\n", "Sender",
         "Name", "new",
         "; settings\r\n[A]\r\nx=1\r\n\r\n[Sender]\r\n;Name=commented\r\nName=new\r\n\r\n[B]\r\n"
         "y=2\r\n"},
        {"new key after the last non-blank line of its section",
         "[A]\r\nx=1\r\n; note\r\n\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3",
         "[A]\r\nx=1\r\n; note\r\nz=3\r\n\r\n\r\n[B]\r\ny=2\r\n"},
        {"new key in an empty section", "[A]\r\n\r\n[B]\r\n", "a", "z", "3",
         "[A]\r\nz=3\r\n\r\n[B]\r\n"},
        {"new key in the last section", "[A]\r\nx=1", "A", "z", "3", "[A]\r\nx=1\r\nz=3\r\n"},
        {"only the first of duplicate sections", "[A]\r\nx=1\r\n[A]\r\nx=2\r\n", "A", "x", "9",
         "[A]\r\nx=9\r\n[A]\r\nx=2\r\n"},
        {"new section at the end after one empty line", "[A]\r\nx=1\r\n", "B", "y", "2",
         "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        {"no second empty line before a new section", "[A]\r\nx=1\r\n\r\n", "B", "y", "2",
         "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        {"new section in an empty file", "", "B", "y", "2", "[B]\r\ny=2\r\n"},
        {"empty value", "[A]\r\nx=1\r\n", "A", "x", "", "[A]\r\nx=\r\n"},
        {"Windows-1251 bytes untouched",
         "[\xCE\xEF\xF6\xE8\xE8]\r\n\xC8\xEC\xFF=\xC8\xE2\xE0\xED\r\n;\x98\xFF\r\n", "Sender",
         "Name", "\xCF\xE5\xF2\xF0",
         "[\xCE\xEF\xF6\xE8\xE8]\r\n\xC8\xEC\xFF=\xC8\xE2\xE0\xED\r\n;\x98\xFF\r\n\r\n[Sender]\r\n"
         "Name=\xCF\xE5\xF2\xF0\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(ini_, c.before);
        ASSERT_TRUE(WritePrivateProfileString(c.section, c.key, c.value, ini_));
        EXPECT_EQ(ReadFileBytes(ini_), c.after);
    }
}

TEST_F(ProfileTest, NewFileGetsSectionsInTheOrderWritten) {
    const struct {
        const char *section, *key, *value;
    } writes[] = {
        {"Sender", "Name", "\xC8\xE2\xE0\xED"}, {"Defaults", "Delivery", "1"},
        {"Window Position", "Left", "100"},     {"Sender", "Host", "pc1"},
        {"Window State", "Maximized", "0"},     {"Window Position", "Top", "50"},
    };
    for (const auto& w : writes)
        ASSERT_TRUE(WritePrivateProfileString(w.section, w.key, w.value, ini_));
    EXPECT_EQ(ReadFileBytes(ini_),
              "[Sender]\r\nName=\xC8\xE2\xE0\xED\r\nHost=pc1\r\n\r\n"
              "[Defaults]\r\nDelivery=1\r\n\r\n"
              "[Window Position]\r\nLeft=100\r\nTop=50\r\n\r\n"
              "[Window State]\r\nMaximized=0\r\n");
    for (const auto& w : writes) {
        EXPECT_EQ(GetPrivateProfileString(w.section, w.key, "def", ini_), w.value) << w.key;
    }
}

TEST_F(ProfileTest, RejectsWhatWouldNotReadBack) {
    const struct {
        const char *section, *key, *value;
    } cases[] = {
        {"", "k", "v"},    {"S", "", "v"},    {"S", " \t", "v"},
        {"S", "a=b", "v"}, {"S", ";k", "v"},  {"S", "k", "two\r\nlines"},
        {"S\n", "k", "v"}, {"S", "k\n", "v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key + "/" + c.value);
        errno = 0;
        EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, ini_));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_FALSE(FileExists(ini_));
    }
}

TEST_F(ProfileTest, ReadOnlyFileIsNotWritten) {
    const std::string before = "[S]\nk=old\n";
    WriteFileBytes(ini_, before);
    ASSERT_EQ(chmod(ini_.c_str(), 0444), 0);
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "new", ini_));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFileBytes(ini_), before);
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"Quorvel.ini"});
}

TEST_F(ProfileTest, MissingFolderFails) {
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", dir_.file("no/such/Quorvel.ini")));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ProfileTest, FailedWriteLeavesNoTemporaryFile) {
    // A file size limit makes writing the temporary file fail with EFBIG.
    const std::string before = "[S]\r\nk=old\r\n";
    WriteFileBytes(ini_, before);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit low = old;
    low.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    errno = 0;
    const bool written = WritePrivateProfileString("S", "k", std::string(4096, 'x'), ini_);
    const int error = errno;
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(ReadFileBytes(ini_), before);
    EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"Quorvel.ini"});
}

TEST_F(ProfileTest, KeepsPermissionBits) {
    WriteFileBytes(ini_, "[S]\r\nk=1\r\n");
    for (const mode_t mode : {0600, 0640, 0604, 0200}) {
        ASSERT_EQ(chmod(ini_.c_str(), mode), 0);
        ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", ini_)) << std::oct << mode;
        EXPECT_EQ(ModeOf(ini_), mode) << std::oct << mode;
    }
}

TEST_F(ProfileTest, NewFileFollowsUmask) {
    for (const mode_t mask : {022, 077}) {
        const std::string path = dir_.file("new" + std::to_string(mask) + ".ini");
        const mode_t old = umask(mask);
        const bool written = WritePrivateProfileString("S", "k", "v", path);
        umask(old);
        ASSERT_TRUE(written);
        EXPECT_EQ(ModeOf(path), 0666 & ~mask) << std::oct << mask;
    }
}

TEST_F(ProfileTest, WritesThroughSymlink) {
    const std::string real = dir_.file("real.ini");
    WriteFileBytes(real, "[S]\r\nk=1\r\n");
    ASSERT_EQ(symlink("real.ini", ini_.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", ini_));
    struct stat st {};
    ASSERT_EQ(lstat(ini_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFileBytes(real), "[S]\r\nk=2\r\n");
}

TEST_F(ProfileTest, DanglingSymlinkCreatesItsTarget) {
    ASSERT_EQ(symlink("real.ini", ini_.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "1", ini_));
    EXPECT_EQ(ReadFileBytes(dir_.file("real.ini")), "[S]\r\nk=1\r\n");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", ini_), "1");
}

}  // namespace
