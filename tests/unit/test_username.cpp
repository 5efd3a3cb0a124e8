#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/CodePage.h"
#include "platform/UserName.h"

using namespace platform;

namespace {

std::string ExpectedName() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? Utf8ToCp1251(pw->pw_name) : std::string();
}

TEST(UserName, IsTheEffectiveUsersLoginName) {
    const std::string expected = ExpectedName();
    ASSERT_FALSE(expected.empty()) << "the test user has no passwd entry";
    char buffer[256];
    std::uint32_t size = sizeof buffer;
    ASSERT_TRUE(GetUserNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(size, expected.size() + 1);
}

TEST(UserName, BufferSizes) {
    const std::string expected = ExpectedName();
    ASSERT_FALSE(expected.empty());
    const std::uint32_t needed = static_cast<std::uint32_t>(expected.size() + 1);
    const struct {
        const char* what;
        std::uint32_t size;
        bool ok;
    } cases[] = {
        {"no room", 0, false},
        {"no room for the zero", needed - 1, false},
        {"exact", needed, true},
        {"larger", needed + 10, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char buffer[300];
        std::memset(buffer, '#', sizeof buffer);
        std::uint32_t size = c.size;
        EXPECT_EQ(GetUserNameA(buffer, &size), c.ok);
        EXPECT_EQ(size, needed);
        if (c.ok) {
            EXPECT_EQ(std::string(buffer), expected);
            EXPECT_EQ(buffer[needed], '#');
        } else {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
        }
    }
}

TEST(UserName, SizeQueryWithoutBuffer) {
    std::uint32_t size = 0;
    EXPECT_FALSE(GetUserNameA(nullptr, &size));
    EXPECT_EQ(size, ExpectedName().size() + 1);
}

}  // namespace
