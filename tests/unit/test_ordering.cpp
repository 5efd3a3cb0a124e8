// Address ordering without Qt: first tokens, address values, the sibling comparison and sorting
// whole trees, with byte order standing in for the locale.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "addressbook/AddressTree.h"
#include "addressbook/Ordering.h"

namespace {

int ByteCompare(const std::string& a, const std::string& b) {
    const int r = a.compare(b);
    return (r > 0) - (r < 0);
}

std::vector<std::size_t> ByteRanks(const std::vector<std::string_view>& captions) {
    std::vector<std::string_view> distinct(captions);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<std::size_t> ranks;
    for (std::string_view c : captions) {
        ranks.push_back(
            std::size_t(std::lower_bound(distinct.begin(), distinct.end(), c) - distinct.begin()));
    }
    return ranks;
}

// "R{a|b{c}}": a root R holding a and b, b holding c. Reads what Shape writes.
void Build(TAddressTree& tree, TAddressNode* parent, std::string_view& text) {
    while (!text.empty() && text.front() != '}') {
        const std::size_t end = std::min(text.find_first_of("{|}"), text.size());
        TAddressNode* node = tree.addChild(parent, std::string(text.substr(0, end)), akComputer);
        text.remove_prefix(end);
        if (!text.empty() && text.front() == '{') {
            text.remove_prefix(1);
            Build(tree, node, text);
            text.remove_prefix(1);
        }
        if (!text.empty() && text.front() == '|') text.remove_prefix(1);
    }
}

std::string Shape(const TAddressNode* first) {
    std::string out;
    for (const TAddressNode* n = first; n; n = n->nextSibling()) {
        if (n != first) out += '|';
        out += n->caption();
        if (n->childCount()) out += '{' + Shape(n->firstChild()) + '}';
    }
    return out;
}

std::string Sorted(std::string_view text) {
    TAddressTree tree;
    Build(tree, nullptr, text);
    SortAddresses(tree, ByteRanks);
    return Shape(tree.first());
}

TEST(Ordering, FirstToken) {
    const struct {
        std::string caption, token;
    } cases[] = {
        {"192.168.0.1 (boss)", "192.168.0.1"},
        {"a b c", "a"},
        {" 10.0.0.1", ""},
        {"  ", ""},
        {"", ""},
        {"PC1", "PC1"},
        {"10.0.0.1(old)", "10.0.0.1(old)"},
        // Without a blank nothing is trimmed; a tab is no blank.
        {"\tPC1\t", "\tPC1\t"},
        {"a\tb", "a\tb"},
        {"\t\001 10.0.0.1\037\t (x)", ""},
        {"\t\00110.0.0.1\037\t (x)", "10.0.0.1"},
        // Codes above 32 stay, Windows-1251 letters and the no-break space included.
        {"\177a\177 b", "\177a\177"},
        {"\xA0\xCF\xCA\xA0 1", "\xA0\xCF\xCA\xA0"},
        {std::string("\0a\0 b", 5), "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        EXPECT_EQ(FirstToken(c.caption), c.token);
    }
}

TEST(Ordering, AddressValue) {
    const struct {
        std::string caption;
        std::optional<std::uint32_t> value;
    } cases[] = {
        {"1.2.3.4", 0x01020304},
        {"192.168.0.1 (boss)", 0xC0A80001},
        {"\t10.0.0.2\t (x)", 0x0A000002},
        {"0.0.0.0", 0},
        {"255.255.255.254", 0xFFFFFFFE},
        // The shorter and other-base forms inet_addr takes.
        {"10.1", 0x0A000001},
        {"10.1.2", 0x0A010002},
        {"0x0A.0.0.1", 0x0A000001},
        {"012.0.0.1", 0x0A000001},
        {"167772161", 0x0A000001},
        // Its answer for "not an address" is also a valid address.
        {"255.255.255.255", std::nullopt},
        {"0xFFFFFFFF", std::nullopt},
        {"", std::nullopt},
        {" 10.0.0.1", std::nullopt},
        {"10.0.0.1(old)", std::nullopt},
        {"PC1", std::nullopt},
        {"1.2.3.256", std::nullopt},
        {"4294967296", std::nullopt},
        {"08.0.0.1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        EXPECT_EQ(AddressValue(c.caption), c.value);
    }
}

TEST(Ordering, CompareAddresses) {
    const struct {
        std::string a, b;
        int expected;
    } cases[] = {
        // Addresses by number, not by text, and unsigned.
        {"10.0.0.2", "10.0.0.10", -1},
        {"200.1.1.1", "100.1.1.1", 1},
        {"200.1.1.1", "127.255.255.254", 1},
        {"9.255.255.255", "10.0.0.0", -1},
        {"10.1", "10.0.0.1", 0},
        // The comment after an address does not count.
        {"192.168.0.1 (boss)", "192.168.0.1 (old)", 0},
        // Addresses before names.
        {"10.0.0.1", "PC1", -1},
        {"PC1", "255.255.255.254", 1},
        {"10.0.0.1(old)", "9.0.0.1", 1},
        {" 10.0.0.1", "10.0.0.1", 1},
        {"255.255.255.255", "0.0.0.0", 1},
        // Names by the whole caption in the locale order.
        {"PC1", "WORKGROUP", -1},
        {"PC1 b", "PC1 a", 1},
        {"PC1", "PC1", 0},
        {"255.255.255.255", "PC1", -1},
        {" 10.0.0.1", " 9.0.0.1", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " vs " + c.b);
        EXPECT_EQ(CompareAddresses(c.a, c.b, ByteCompare), c.expected);
        EXPECT_EQ(CompareAddresses(c.b, c.a, ByteCompare), -c.expected);
    }
}

TEST(Ordering, SortsEveryGroupBelowTheRoots) {
    const struct {
        const char* what;
        std::string_view tree, sorted;
    } cases[] = {
        {"addresses by number, then names",
         "Net{PC1|192.168.0.1 (boss)|10.0.0.10|10.0.0.2|WORKGROUP}",
         "Net{10.0.0.2|10.0.0.10|192.168.0.1 (boss)|PC1|WORKGROUP}"},
        {"what inet_addr rejects goes among the names",
         "Net{PC1|255.255.255.255||10.0.0.1(old)| 10.0.0.1|10.0.0.5}",
         "Net{10.0.0.5|| 10.0.0.1|10.0.0.1(old)|255.255.255.255|PC1}"},
        {"equal siblings keep their order", "Net{10.0.0.1 (b)|PC|10.0.0.1 (a)|0xA000001}",
         "Net{10.0.0.1 (b)|10.0.0.1 (a)|0xA000001|PC}"},
        {"groups inside are sorted and placed by their caption",
         "Net{Office{10.0.0.3|10.0.0.1}|10.0.0.9|Accounts{B|A{y|x}}|10.0.0.5{2.0.0.2|1.0.0.1}}",
         "Net{10.0.0.5{1.0.0.1|2.0.0.2}|10.0.0.9|Accounts{A{x|y}|B}|Office{10.0.0.1|10.0.0.3}}"},
        {"the root level keeps its order", "Z{b|a}|10.0.0.2|A|10.0.0.1{2.2.2.2|1.1.1.1}",
         "Z{a|b}|10.0.0.2|A|10.0.0.1{1.1.1.1|2.2.2.2}"},
        {"empty groups and single children", "Net{G{}|H{x}}|E", "Net{G|H{x}}|E"},
        {"no tree", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Sorted(c.tree), c.sorted);
    }
}

TEST(Ordering, RanksOfTheWrongLengthAreRefused) {
    TAddressTree tree;
    tree.addChild(tree.addRoot("Net", akGroup), "PC1", akComputer);
    EXPECT_THROW(SortAddresses(tree, [](const auto&) { return std::vector<std::size_t>{}; }),
                 std::invalid_argument);
}

}  // namespace
