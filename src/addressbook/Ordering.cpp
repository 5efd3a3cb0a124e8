#include "addressbook/Ordering.h"

#include <arpa/inet.h>

#include <stdexcept>
#include <unordered_map>

#include "addressbook/AddressTree.h"

namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

std::string FirstToken(const std::string& caption) {
    const std::size_t blank = caption.find(' ');
    if (blank == std::string::npos) return caption;
    std::string_view token(caption.data(), blank);
    while (!token.empty() && IsBlankOrControl(token.front())) token.remove_prefix(1);
    while (!token.empty() && IsBlankOrControl(token.back())) token.remove_suffix(1);
    return std::string(token);
}

std::optional<std::uint32_t> AddressValue(const std::string& caption) {
    const in_addr_t address = inet_addr(FirstToken(caption).c_str());
    if (address == INADDR_NONE) return std::nullopt;
    return ntohl(address);
}

int CompareAddresses(const std::string& a, const std::string& b,
                     const LocaleCompare& localeCompare) {
    const std::optional<std::uint32_t> x = AddressValue(a);
    const std::optional<std::uint32_t> y = AddressValue(b);
    if (!x && !y) return Sign(localeCompare(a, b));
    if (!x) return 1;
    if (!y) return -1;
    return (*x > *y) - (*x < *y);
}

void SortAddresses(TAddressTree& tree, const LocaleRanks& localeRanks) {
    // One number per node says it all: an address is its value, a name comes after every
    // address at its locale rank. The sort then compares numbers only.
    constexpr std::uint64_t kNamesFrom = std::uint64_t{1} << 32;
    std::unordered_map<const TAddressNode*, std::uint64_t> keys;
    keys.reserve(tree.size());
    std::vector<const TAddressNode*> names;
    std::vector<std::string_view> captions;
    for (const TAddressNode* node = tree.first(); node; node = node->next()) {
        if (!node->parent()) continue;  // the root level stays as it is
        if (const std::optional<std::uint32_t> address = AddressValue(node->caption())) {
            keys.emplace(node, *address);
        } else {
            names.push_back(node);
            captions.push_back(node->caption());
        }
    }
    if (!names.empty()) {
        const std::vector<std::size_t> ranks = localeRanks(captions);
        if (ranks.size() != names.size())
            throw std::invalid_argument("one locale rank per caption expected");
        for (std::size_t i = 0; i < names.size(); ++i)
            keys.emplace(names[i], kNamesFrom + ranks[i]);
    }
    tree.sortBelowRoots([&keys](const TAddressNode* a, const TAddressNode* b) {
        return keys.find(a)->second < keys.find(b)->second;
    });
}
