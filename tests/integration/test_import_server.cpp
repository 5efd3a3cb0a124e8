// Listing a server's accounts through the LmUser layer against a private smbd on loopback, with
// test accounts entered for the run and removed afterwards; the credentials file rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "PrivateNetwork.h"
#include "SambaPeer.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/CodePage.h"
#include "platform/LmUser.h"

using namespace platform;
using testing_support::SambaPeer;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

struct Listed {
    std::uint32_t result = 0;
    int calls = 0;
    std::vector<std::pair<std::string, std::string>> accounts;  // name, full name (CP1251)
};

Listed ListAll(const std::u16string& server) {
    Listed out;
    std::uint32_t resume = 0, read = 0, total = 0;
    do {
        std::uint8_t* buf = nullptr;
        out.result = NetUserEnum(server.c_str(), 2, 0, &buf, kMaxPreferredLength, &read, &total,
                                 &resume);
        ++out.calls;
        if (out.result != kNerrSuccess && out.result != kErrorMoreData) {
            EXPECT_EQ(buf, nullptr);
            break;
        }
        const auto* records = reinterpret_cast<const USER_INFO_2*>(buf);
        for (std::uint32_t i = 0; i < read; ++i) {
            out.accounts.emplace_back(records[i].usri2_name, records[i].usri2_full_name);
        }
        NetApiBufferFree(buf);
    } while (out.result == kErrorMoreData && out.calls < 100);
    return out;
}

bool Has(const Listed& l, const std::string& name, const std::string& fullName) {
    for (const auto& [n, f] : l.accounts) {
        if (n == name) return f == fullName;
    }
    return false;
}

// One smbd with its accounts for the whole suite: entering accounts is slow.
class ImportServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testing_support::DetachStandardInput();
        if (geteuid() != 0) return;  // accounts need root; the tests skip
        const std::string s = testing_support::RandomAccountSuffix();
        names = {"qva" + s, "qvb" + s, "qvc" + s, "qvm" + s};
        // libnetapi only ever connects to port 445 (then 139), whatever smb.conf says; a
        // network of this process's own gives the private smbd that port without clashing with
        // anything else on the machine.
        setupError = testing_support::EnterPrivateNetwork();
        if (!setupError.empty()) return;
        try {
            testing_support::SambaOptions options;
            options.messaging = false;
            options.port = 445;
            options.rpc = true;
            peer = std::make_unique<SambaPeer>(options);
            peer->AddAccount(names[0], "Ivan Petrov", kPassword);
            peer->AddAccount(names[1], "Пётр Сидоров", kPassword);
            peer->AddAccount(names[2], "", kPassword);
            peer->AddAccount(names[3], "Workstation", kPassword, true);
        } catch (const std::exception& e) {
            setupError = e.what();
        }
    }
    static void TearDownTestSuite() { peer.reset(); }  // removes the accounts too

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "test accounts need root";
        ASSERT_TRUE(setupError.empty()) << setupError;
        conf = std::make_unique<ScopedEnv>("QUORVEL_SMB_CONF", peer->ConfigPath());
        config = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir.path());
    }
    void writeCredentials(const std::string& text, mode_t mode) {
        mkdir((dir.path() + "/Quorvel").c_str(), 0700);
        const std::string path = dir.path() + "/Quorvel/credentials";
        WriteFileBytes(path, text);
        chmod(path.c_str(), mode);
    }

    static constexpr const char* kPassword = "Qv-test-9x";
    static inline std::unique_ptr<SambaPeer> peer;
    static inline std::vector<std::string> names;
    static inline std::string setupError;
    TempDir dir;
    std::unique_ptr<ScopedEnv> conf, config;
};

TEST_F(ImportServerTest, ListsAccountsWithFullNamesInWindows1251) {
    const Listed l = ListAll(u"\\\\127.0.0.1");
    ASSERT_EQ(l.result, kNerrSuccess) << peer->Log();
    EXPECT_TRUE(Has(l, names[0], "Ivan Petrov"));
    EXPECT_TRUE(Has(l, names[1], Utf8ToCp1251("Пётр Сидоров")));
    EXPECT_TRUE(Has(l, names[2], ""));
    std::string listed;
    bool machine = false;
    for (const auto& [n, f] : l.accounts) {
        listed += n + "(" + f + ") ";
        machine = machine || n == names[3] + "$";
    }
    EXPECT_TRUE(machine) << "filter 0 includes trust accounts; listed: " << listed;
}

TEST_F(ImportServerTest, ServerPathWithAndWithoutBackslashesAlike) {
    const Listed with = ListAll(u"\\\\127.0.0.1");
    const Listed without = ListAll(u"127.0.0.1");
    ASSERT_EQ(with.result, kNerrSuccess);
    EXPECT_EQ(with.accounts, without.accounts);
}

TEST_F(ImportServerTest, FailuresReturnNoBuffer) {
    struct Case {
        const char* what;
        std::u16string server;
        std::uint32_t level;
    };
    const Case cases[] = {
        {"extra backslashes stay part of the name", u"\\\\\\\\127.0.0.1", 2},
        {"a level other than 2", u"\\\\127.0.0.1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint8_t* buf = reinterpret_cast<std::uint8_t*>(&buf);
        std::uint32_t resume = 0, read = 7, total = 0;
        const std::uint32_t rc =
            NetUserEnum(c.server.c_str(), c.level, 0, &buf, kMaxPreferredLength, &read, &total,
                        &resume);
        EXPECT_NE(rc, kNerrSuccess);
        EXPECT_NE(rc, kErrorMoreData);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(read, 0u);
    }
}

TEST_F(ImportServerTest, OwnCredentialsAreUsedOnlyFromAPrivateFile) {
    const std::string good = "username = " + names[0] + "\npassword = " + kPassword + "\n";
    const std::string bad = "username = " + names[0] + "\npassword = wrong\n";
    struct Case {
        const char* what;
        std::string text;
        mode_t mode;
        bool listed;
    };
    const Case cases[] = {
        {"right password", good, 0600, true},
        {"wrong password fails rather than asking", bad, 0600, false},
        {"readable by others: ignored, anonymous", bad, 0644, true},
        {"readable by the group: ignored, anonymous", bad, 0640, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeCredentials(c.text, c.mode);
        const Listed l = ListAll(u"\\\\127.0.0.1");
        EXPECT_EQ(l.result == kNerrSuccess, c.listed) << l.result;
        EXPECT_EQ(Has(l, names[0], "Ivan Petrov"), c.listed);
    }
}

TEST(LmUserCredentialsFile, ParsesTheThreeKeys) {
    TempDir dir;
    const std::string path = dir.file("credentials");
    WriteFileBytes(path, "# comment\nusername = ivan\r\n  password=p = q \ndomain =WORK\nother = x\n");
    chmod(path.c_str(), 0600);
    const TLmCredentials c = ReadLmCredentials(path);
    EXPECT_TRUE(c.found);
    EXPECT_EQ(c.username, "ivan");
    EXPECT_EQ(c.password, "p = q");
    EXPECT_EQ(c.domain, "WORK");
    EXPECT_FALSE(ReadLmCredentials(dir.file("missing")).found);
    WriteFileBytes(path, "password = x\n");
    EXPECT_FALSE(ReadLmCredentials(path).found) << "no user name: anonymous";
}

TEST(LmUserCredentialsFile, PathFollowsXdgConfigHome) {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/some/where");
    EXPECT_EQ(LmCredentialsPath(), "/some/where/Quorvel/credentials");
    ScopedEnv none("XDG_CONFIG_HOME", "");
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(LmCredentialsPath(), "/home/u/.config/Quorvel/credentials");
}

}  // namespace
