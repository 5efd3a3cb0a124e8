// The address book file: the lenient reader, the tree it rebuilds, the canonical writer, and
// loading and saving through the file system.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TempDir.h"
#include "addressbook/AddressFile.h"
#include "platform/CodePage.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

// The tree as "level kind caption" lines joined by '|', to compare shapes at a glance.
std::string Shape(const TAddressTree& tree) {
    std::string out;
    for (const TAddressNode* n = tree.first(); n; n = n->next()) {
        if (!out.empty()) out += '|';
        out += std::to_string(n->level()) + " " + std::to_string(n->kind()) + " " + n->caption();
    }
    return out;
}

std::string Load(const std::string& bytes, bool* malformed = nullptr) {
    TAddressTree tree;
    const TAddressParse parse = ParseAddressRecords(bytes);
    AppendAddressRecords(tree, parse.records);
    if (malformed) *malformed = parse.malformed;
    return Shape(tree);
}

}  // namespace

TEST(AddressFileReader, Grammar) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string shape;
        bool malformed;
    } cases[] = {
        {"example", "0 0 Sales\r\n1 1 JSMITH\r\n1 2 PC12 (room 5)\r\n0 0 Servers\r\n1 2 10.0.0.5 (mail)\r\n1 3 WORKGROUP\r\n",
         "0 0 Sales|1 1 JSMITH|1 2 PC12 (room 5)|0 0 Servers|1 2 10.0.0.5 (mail)|1 3 WORKGROUP", false},
        {"empty file", "", "", false},
        {"only blank lines", "\r\n  \r\n\t\n\n", "", false},
        {"blank lines between and after", "\r\n0 0 A\r\n\r\n   \r\n1 1 B\r\n\r\n  ", "0 0 A|1 1 B", false},
        {"no final line end", "0 0 A\r\n1 1 B", "0 0 A|1 1 B", false},
        {"LF only", "0 0 A\n1 1 B\n", "0 0 A|1 1 B", false},
        {"leading level 2 makes a root", "2 1 A\r\n3 1 B\r\n", "0 1 A|1 1 B", false},
        {"levels 0 1 2 1 0", "0 0 R\r\n1 0 C\r\n2 1 G\r\n1 1 D\r\n0 0 S\r\n", "0 0 R|1 0 C|2 1 G|1 1 D|0 0 S", false},
        {"blanks around the caption", "0 2    PC1 (a (b) )  \r\n", "0 2 PC1 (a (b) )", false},
        {"sign and hex kinds", "0 +1 a\r\n0 0x1 b\r\n0 $1 c\r\n0 X1 d\r\n0 -$1 e\r\n", "0 1 a|0 1 b|0 1 c|0 1 d|0 -1 e", false},
        {"kind 7 is kept", "0 7 odd\r\n", "0 7 odd", false},
        {"numbers on separate lines", "0\r\n\r\n2 caption\r\n", "0 2 caption", false},
        {"end after the level", "0 0 A\r\n1", "0 0 A|1 0 ", false},
        {"end after the kind", "0 0 A\r\n1 1", "0 0 A|1 1 ", false},
        {"empty caption", "0 0 \r\n1 1 x\r\n", "0 0 |1 1 x", false},
        {"tabs and control codes as blanks", "\t0\t3\tWG\x01\r\n", "0 3 WG", false},
        {"bad kind stops, earlier nodes stay", "0 0 A\r\n1 1 B\r\n1 one C\r\n1 1 D\r\n", "0 0 A|1 1 B", true},
        {"bad level", "0 0 A\r\nx\r\n", "0 0 A", true},
        {"decimal beyond 32 bits", "0 2147483648 A\r\n", "", true},
        {"hex beyond 32 bits", "0 $100000000 A\r\n", "", true},
        {"hex pattern", "0 $FFFFFFFF A\r\n", "0 -1 A", false},
        {"lowest value", "0 -2147483648 A\r\n", "0 -2147483648 A", false},
        {"a number is at most 32 characters", "0 " + std::string(31, '0') + "12 rest\r\n", "0 1 2 rest", false},
    };
    for (const Case& c : cases) {
        bool malformed = false;
        EXPECT_EQ(Load(c.bytes, &malformed), c.shape) << c.name;
        EXPECT_EQ(malformed, c.malformed) << c.name;
    }
}

TEST(AddressFileReader, EntireNetworkCaptionIsAnOrdinaryCaption) {
    const std::string net = A("Вся сеть");
    EXPECT_EQ(Load("0 3 " + net + "\r\n1 2 PC1\r\n"), "0 3 " + net + "|1 2 PC1");
}

TEST(AddressFileReader, RecordsWithoutAPlaceAreKept) {
    // Two levels deeper than the node before: a child of that node. Negative: a root.
    EXPECT_EQ(Load("0 0 A\r\n3 1 deep\r\n1 1 B\r\n"), "0 0 A|1 1 deep|1 1 B");
    EXPECT_EQ(Load("0 0 A\r\n1 1 B\r\n-1 1 neg\r\n1 1 C\r\n"), "0 0 A|1 1 B|0 1 neg|1 1 C");
}

TEST(AddressFileReader, AppendsAfterTheExistingRootsAndMapsKinds) {
    TAddressTree tree;
    tree.addRoot("old", akGroup);
    tree.addChild(tree.root(0), "member", akUser);
    const TAddressParse parse = ParseAddressRecords("1 8 G\r\n2 5 PC\r\n0 0 H\r\n");
    AppendAddressRecords(tree, parse.records,
                         [](std::int32_t k) { return k == 0 || k == 8 ? akGroup : akComputer; });
    EXPECT_EQ(Shape(tree), "0 0 old|1 1 member|0 0 G|1 2 PC|0 0 H");
}

TEST(AddressFileWriter, CanonicalFormAndRoundTrip) {
    TAddressTree tree;
    TAddressNode* sales = tree.addRoot("Sales", akGroup);
    tree.addChild(sales, "JSMITH", akUser);
    TAddressNode* sub = tree.addChild(sales, "", akGroup);
    tree.addChild(sub, A("ПК 12 (комната 5)"), 7);
    tree.addRoot("neg", -3);
    const std::string text = FormatAddressBook(tree);
    EXPECT_EQ(text, "0 0 Sales\r\n1 1 JSMITH\r\n1 0 \r\n2 7 " + A("ПК 12 (комната 5)") + "\r\n0 -3 neg\r\n");
    TAddressTree again;
    AppendAddressRecords(again, ParseAddressRecords(text).records);
    EXPECT_EQ(Shape(again), Shape(tree));
    EXPECT_EQ(FormatAddressBook(again), text);
}

TEST(AddressFileWriter, CaptionsLoseOnlyTheirOuterBlanks) {
    TAddressTree tree;
    tree.addRoot("  padded  ", akUser);
    TAddressTree again;
    AppendAddressRecords(again, ParseAddressRecords(FormatAddressBook(tree)).records);
    EXPECT_EQ(again.root(0)->caption(), "padded");
}

TEST(AddressFileWriter, DeepNestingNeedsNoStack) {
    std::string text;
    for (int level = 0; level < 200000; ++level) text += std::to_string(level) + " 0 n\n";
    TAddressTree tree;
    AppendAddressRecords(tree, ParseAddressRecords(text).records);
    EXPECT_EQ(tree.size(), 200000u);
    EXPECT_EQ(FormatAddressBook(tree).size(), text.size() + 200000);  // CR LF instead of LF
}

class AddressBookFileTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(AddressBookFileTest, MissingFileIsAnEmptyBook) {
    TAddressTree tree;
    EXPECT_FALSE(LoadAddressBook(dir.file("none.dat"), tree));
    EXPECT_TRUE(tree.empty());
}

TEST_F(AddressBookFileTest, MalformedNumberRaisesAfterAppendingTheNodesBeforeIt) {
    WriteFileBytes(dir.file("q.dat"), "0 0 A\r\n1 x B\r\n");
    TAddressTree tree;
    try {
        LoadAddressBook(dir.file("q.dat"), tree);
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "Invalid numeric input");
    }
    EXPECT_EQ(Shape(tree), "0 0 A");
}

TEST_F(AddressBookFileTest, ReadErrorsCarryTheirTexts) {
    mkdir(dir.file("folder.dat").c_str(), 0700);
    TAddressTree tree;
    try {
        LoadAddressBook(dir.file("folder.dat"), tree);
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "I/O error 21");  // EISDIR
    }
    struct {
        int error;
        const char* text;
    } texts[] = {{ENOENT, "File not found"}, {EACCES, "File access denied"},
                 {ENOSPC, "Disk full"},      {EIO, "I/O error 5"}};
    for (const auto& t : texts) EXPECT_EQ(InOutErrorText(t.error), t.text);
}

TEST_F(AddressBookFileTest, SaveReplacesTheFileAndFailsCleanly) {
    TAddressTree tree;
    tree.addRoot("G", akGroup);
    const std::string path = dir.file("q.dat");
    WriteFileBytes(path, "0 0 old\r\n");
    SaveAddressBook(path, tree);
    EXPECT_EQ(ReadFileBytes(path), "0 0 G\r\n");
    // A read-only book is neither written nor truncated.
    chmod(path.c_str(), 0444);
    tree.addRoot("H", akGroup);
    EXPECT_THROW(SaveAddressBook(path, tree), EInOutError);
    EXPECT_EQ(ReadFileBytes(path), "0 0 G\r\n");
    try {
        SaveAddressBook(dir.file("no/such/folder.dat"), tree);
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "File not found");
    }
}
