// The remembered sender names.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "common/IniFile.h"
#include "common/SenderList.h"
#include "platform/CodePage.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {
std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }
std::string Fallback() { return "fallback"; }
}  // namespace

TEST(SenderList, Load) {
    TempDir dir;
    struct Case {
        const char* ini;
        std::int32_t maxSender;
        TSenderList expected;
    } cases[] = {
        {"", 5, {"fallback"}},
        {"[Sender]\r\nSender1=\r\nSender2=Ivan\r\n", 5, {"Ivan"}},
        {"[Sender]\r\nSender1=A\r\nSender3=C\r\nSender6=F\r\n", 5, {"A", "C"}},
        {"[Sender]\r\nSender1=A\r\nSender2=A\r\n", 5, {"A", "A"}},
        {"[Sender]\r\nSender1=A\r\n", 0, {"fallback"}},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir.file("q.ini"), c.ini);
        EXPECT_EQ(LoadSenderNames(TIniFile(dir.file("q.ini")), c.maxSender, Fallback), c.expected)
            << c.ini;
    }
}

TEST(SenderList, AddMovesOrInsertsAtTheTop) {
    TSenderList list{"A", "B", "C", "D", "E"};
    EXPECT_EQ(AddToSenderList(list, "F", 5), "F");
    EXPECT_EQ(list, (TSenderList{"F", "A", "B", "C", "D"}));
    // Latin letters match without regard to case; the stored form wins.
    EXPECT_EQ(AddToSenderList(list, "c", 5), "C");
    EXPECT_EQ(list, (TSenderList{"C", "F", "A", "B", "D"}));
    // Cyrillic letters keep their case.
    TSenderList cyr{A("Иван")};
    EXPECT_EQ(AddToSenderList(cyr, A("иван"), 5), A("иван"));
    EXPECT_EQ(cyr, (TSenderList{A("иван"), A("Иван")}));
    // An empty name is a name too.
    EXPECT_EQ(AddToSenderList(cyr, "", 5), "");
    EXPECT_EQ(cyr.front(), "");
}

TEST(SenderList, AddRemovesOnlyOneName) {
    TSenderList list{"A", "B", "C"};
    AddToSenderList(list, "D", 1);
    EXPECT_EQ(list, (TSenderList{"D", "A", "B"}));
}

TEST(SenderList, SaveLeavesHigherKeysAlone) {
    TempDir dir;
    WriteFileBytes(dir.file("q.ini"), "[Sender]\r\nSender1=\r\nSender2=Ivan\r\n");
    TIniFile ini(dir.file("q.ini"));
    SaveSenderNames(ini, LoadSenderNames(ini, 5, Fallback));
    EXPECT_EQ(LoadSenderNames(ini, 5, Fallback), (TSenderList{"Ivan", "Ivan"}));
}

TEST(SenderList, CaseOfLatinLettersOnly) {
    EXPECT_TRUE(SameTextLatin("Ivan", "iVAN"));
    EXPECT_FALSE(SameTextLatin("Ivan", "Ivan "));
    EXPECT_FALSE(SameTextLatin(A("Иван"), A("иван")));
    EXPECT_TRUE(SameTextLatin(A("Иван Petrov"), A("Иван PETROV")));
}

TEST(SenderList, FallbackIsTheLoggedOnUser) {
    const std::string name = GetUserFromWindows();
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, A("Неизвестный"));  // tests run as a user with a login name
}
