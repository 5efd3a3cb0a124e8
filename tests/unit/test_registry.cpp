// The registry stand-in over export files, and ReadRegString on top of it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/defaults.h"
#include "platform/CodePage.h"
#include "platform/Registry.h"

using namespace platform;
using namespace platform::reg;

namespace {

std::string A(const char* utf8) { return Utf8ToCp1251(utf8); }
std::string Fixture(const char* name) { return std::string(QUORVEL_FIXTURE_DIR) + "/" + name; }

class RegistryTest : public ::testing::Test {
protected:
    void use(const std::string& path) { setenv("QUORVEL_REGISTRY_FILE", path.c_str(), 1); }
    void TearDown() override { unsetenv("QUORVEL_REGISTRY_FILE"); }
};

}  // namespace

TEST_F(RegistryTest, FilePathFollowsTheEnvironment) {
    unsetenv("QUORVEL_REGISTRY_FILE");
    EXPECT_STREQ(RegistryFilePath(), "/etc/quorvel/registry.reg");
    use("/tmp/other.reg");
    EXPECT_STREQ(RegistryFilePath(), "/tmp/other.reg");
}

TEST_F(RegistryTest, ReadRegStringOverBothFileForms) {
    struct Case {
        const char* file;
        HKEY root;
        std::string key;
        std::string value;
        std::string expected;
    } cases[] = {
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Dunmarro", "C:\\Program Files\\Ostrevanka\\"},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "software\\OSTREVANKA\\", "dunmarro", "C:\\Program Files\\Ostrevanka\\"},
        {"registry4.reg", HKEY_CURRENT_USER, "Software\\Ostrevanka", "Dunmarro", "user"},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Quote", "say \"hi\""},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "", "default text"},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Expand", A("%TEMP%\\Скан")},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Long", "ABCD"},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", A("иМЯ"), A("Значение")},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Count", ""},  // dword
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Blob", ""},   // binary
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Gone", ""},   // deletion entry
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Missing", ""},
        {"registry4.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Removed", "Dunmarro", ""},
        {"registry4.reg", HKEY_CURRENT_USER, "SoftWare\\Ostrevanka\\Deeper", "Dunmarro", ""},
        {"registry4.reg", HKEY_USERS, "SoftWare\\Ostrevanka", "Dunmarro", ""},
        {"registry5.reg", HKEY_LOCAL_MACHINE, A("SOFTWARE\\Ostrevanka\\сКАНЕР"), A("папка"), A("/opt/сканер")},
        {"registry5.reg", HKEY_LOCAL_MACHINE, A("SoftWare\\Ostrevanka\\Сканер"), "Expand", A("%HOME%/П")},
        {"registry5.reg", HKEY_LOCAL_MACHINE, A("SoftWare\\Ostrevanka\\Сканер"), "Dunmarro", ""},
        {"no-such-file.reg", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Dunmarro", ""},
        {"scanner.cmp", HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Dunmarro", ""},  // not an export file
    };
    for (const Case& c : cases) {
        use(Fixture(c.file));
        EXPECT_EQ(ReadRegString(c.root, c.key, c.value), c.expected) << c.file << " " << c.key << " " << c.value;
    }
}

TEST_F(RegistryTest, OpenAndQueryLikeTheSystemCalls) {
    use(Fixture("registry4.reg"));
    HKEY software{};
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
    HKEY key{};
    ASSERT_EQ(RegOpenKeyEx(software, "ostrevanka", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY missing{};
    EXPECT_EQ(RegOpenKeyEx(software, "Removed", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);

    struct Case {
        const char* value;
        DWORD type;
        std::string data;
    } cases[] = {
        {"Count", REG_DWORD, std::string("\x2a\0\0\0", 4)},
        {"Blob", REG_BINARY, "\x01\x02"},
        {"Dunmarro", REG_SZ, std::string("C:\\Program Files\\Ostrevanka\\\0", 29)},
        {"Expand", REG_EXPAND_SZ, A("%TEMP%\\Скан") + '\0'},
    };
    for (const Case& c : cases) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueEx(key, c.value, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << c.value;
        EXPECT_EQ(type, c.type) << c.value;
        ASSERT_EQ(size, c.data.size()) << c.value;
        std::string data(size, '*');
        DWORD small = size - 1;
        EXPECT_EQ(RegQueryValueEx(key, c.value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &small),
                  ERROR_MORE_DATA) << c.value;
        EXPECT_EQ(small, size) << c.value;
        EXPECT_EQ(RegQueryValueEx(key, c.value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS) << c.value;
        EXPECT_EQ(data, c.data) << c.value;
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(key, "Count", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}
