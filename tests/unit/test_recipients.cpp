// Recipient text from the selected node.
#include <gtest/gtest.h>

#include "addressbook/Recipients.h"
#include "platform/CodePage.h"

namespace {
std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }
}  // namespace

TEST(Recipients, AddressPart) {
    struct Case {
        std::string caption, address;
    } cases[] = {
        {"PC12 (room 5)", "PC12"}, {"PC12(room 5)", "PC12"}, {"PC12 (a) (b)", "PC12"},
        {"(old)", ""},             {"  PC1  ", "  PC1  "},  {" \tPC1 (x)", "PC1"},
        {"", ""},                  {"10.0.0.5 (mail)", "10.0.0.5"},
    };
    for (const Case& c : cases) EXPECT_EQ(GETIP(c.caption), c.address) << c.caption;
}

TEST(Recipients, TextForTheSelectedNode) {
    const std::string net = A("Вся сеть");
    TAddressTree tree;
    auto root = [&](const std::string& caption, TAddressKind kind) { return tree.addRoot(caption, kind); };
    auto group = [&](std::initializer_list<std::pair<std::string, TAddressKind>> members) {
        TAddressNode* g = tree.addRoot("G", akGroup);
        for (const auto& [caption, kind] : members) tree.addChild(g, caption, kind);
        return g;
    };
    TAddressNode* servers = group({{"Servers", akGroup}});
    tree.addChild(servers->child(0), "S1", akComputer);
    TAddressNode* withChildren = root("JSMITH", akUser);
    tree.addChild(withChildren, "hidden", akUser);
    struct Case {
        const char* name;
        const TAddressNode* node;
        std::string text;
    } cases[] = {
        {"nothing selected", nullptr, ""},
        {"address", root("JSMITH", akUser), "JSMITH"},
        {"computer with comment", root("PC12 (room 5)", akComputer), "PC12"},
        {"workgroup", root("WORKGROUP", akWorkgroup), "WORKGROUP*"},
        {"workgroup with comment", root("DOMAIN (main office)", akWorkgroup), "DOMAIN*"},
        {"entire network", root(net, akWorkgroup), "*"},
        {"entire network caption on a computer", root(net, akComputer), net},
        {"workgroup starting with (", root("(x)", akWorkgroup), "*"},
        {"workgroup with blanks", root(" WG ", akWorkgroup), " WG *"},
        {"kind 7 is an address", root("ODD", 7), "ODD"},
        {"address with children", withChildren, "JSMITH"},
        {"group", group({{"JSMITH", akUser}, {"PC12 (room 5)", akComputer}, {"WORKGROUP", akWorkgroup}}),
         "JSMITH, PC12, WORKGROUP*"},
        {"sub-group lists its own name only", servers, "Servers"},
        {"empty group", group({}), ""},
        {"entire network inside a group", group({{net, akWorkgroup}, {"PC1", akComputer}}), net + "*, PC1"},
        {"empty first member", group({{"(x)", akUser}, {"PC3", akComputer}}), "PC3"},
        {"empty member in the middle", group({{"PC1", akUser}, {"(old)", akUser}, {"PC3", akUser}}),
         "PC1, , PC3"},
    };
    for (const Case& c : cases) EXPECT_EQ(RecipientText(c.node), c.text) << c.name;
}
