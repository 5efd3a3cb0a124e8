// libFuzzer target for the address book reader. Whatever the bytes, reading them and rebuilding
// the tree must not crash, and the tree's canonical text must read back to the very same tree.
// No file is touched: the bytes go straight to the parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "addressbook/AddressFile.h"
#include "addressbook/AddressTree.h"

namespace {

[[noreturn]] void Mismatch(const char* what) {
    std::fprintf(stderr, "address book round trip: %s\n", what);
    std::abort();
}

// The nodes in tree order with their depth, checking the links on the way. Own stack, not
// TAddressNode::level(): a chain as deep as the input is long would make that quadratic.
struct TFlatNode {
    const TAddressNode* node;
    std::int32_t level;
};

std::vector<TFlatNode> Flatten(const TAddressTree& tree) {
    std::vector<TFlatNode> out;
    std::vector<TFlatNode> pending;
    for (int i = tree.rootCount() - 1; i >= 0; --i) {
        if (tree.root(i)->row() != i || tree.root(i)->parent()) Mismatch("a root's links are wrong");
        pending.push_back({tree.root(i), 0});
    }
    while (!pending.empty()) {
        const TFlatNode f = pending.back();
        pending.pop_back();
        out.push_back(f);
        for (int i = f.node->childCount() - 1; i >= 0; --i) {
            const TAddressNode* child = f.node->child(i);
            if (child->row() != i || child->parent() != f.node) Mismatch("a child's links are wrong");
            pending.push_back({child, f.level + 1});
        }
    }
    if (out.size() != tree.size()) Mismatch("the tree's size is not its node count");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const TAddressParse first = ParseAddressRecords(bytes);
    TAddressTree tree;
    AppendAddressRecords(tree, first.records);
    if (tree.size() != first.records.size()) Mismatch("not one node per record");
    const std::vector<TFlatNode> nodes = Flatten(tree);
    const std::string text = FormatAddressBook(tree);

    // The canonical text states each node as it is: depth, kind and caption, in tree order.
    const TAddressParse second = ParseAddressRecords(text);
    if (second.malformed) Mismatch("the canonical text does not read");
    if (second.records.size() != nodes.size()) Mismatch("the canonical text has another record count");
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const TAddressRecord& r = second.records[i];
        const TAddressNode& n = *nodes[i].node;
        if (r.level != nodes[i].level || r.kind != n.kind() || r.caption != n.caption())
            Mismatch("a record read back differs from its node");
    }

    TAddressTree again;
    AppendAddressRecords(again, second.records);
    if (FormatAddressBook(again) != text) Mismatch("the second pass formats differently");
    return 0;
}
