// The product title from the version resource.
#include <gtest/gtest.h>

#include "common/defaults.h"
#include "platform/Version.h"

namespace {

platform::VersionBlock Block(const std::string& fileVersion, std::string productName = "Quorvel") {
    platform::VersionStrings s;
    s.translations = {{0x0419, 1251}};
    s.strings = {{"041904E3", "FileVersion", fileVersion},
                 {"041904E3", "ProductName", std::move(productName)}};
    return platform::MakeVersionBlock(s);
}

}  // namespace

TEST(VersionString, ShortForms) {
    struct Case {
        const char* fileVersion;
        const char* shortTitle;
    } cases[] = {
        {"1.2.0.19", "Quorvel 1.2"}, {"1.2.3.19", "Quorvel 1.2.3"}, {"1.0.0.7", "Quorvel 1.0"},
        {"2.0.5", "Quorvel 2"},      {"1.19", "Quorvel 1"},         {"0.19", "Quorvel "},
        {"1.00.0.1", "Quorvel 1.00"}, {"1.2.x.4", "Quorvel 1.2.x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetVersionStringFromBlock(Block(c.fileVersion), false), c.shortTitle) << c.fileVersion;
        EXPECT_EQ(GetVersionStringFromBlock(Block(c.fileVersion), true),
                  std::string("Quorvel ") + c.fileVersion);
    }
}

TEST(VersionString, MissingPiecesGiveEmptyTexts) {
    EXPECT_EQ(GetVersionStringFromBlock({}, true), "");
    // A translation that names another string block finds no strings.
    platform::VersionStrings other;
    other.translations = {{0x0409, 1252}};
    other.strings = {{"041904E3", "FileVersion", "1.2.0.19"}, {"041904E3", "ProductName", "Quorvel"}};
    EXPECT_EQ(GetVersionStringFromBlock(platform::MakeVersionBlock(other), true), " ");
    // The product name is cut to 255 characters.
    EXPECT_EQ(GetVersionStringFromBlock(Block("1.2.0.19", std::string(300, 'Q')), true),
              std::string(255, 'Q') + " 1.2.0.19");
}

TEST(VersionString, OwnExecutable) {
    EXPECT_EQ(GetVersionString(true), "Quorvel 1.2.0.19");
    EXPECT_EQ(GetVersionString(false), "Quorvel 1.2");
}
