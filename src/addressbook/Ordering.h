// The order of "Сортировать адреса": among siblings, captions that start with an IPv4 address
// come first, by address; the others follow in the user's locale order of the whole caption.
// The locale order comes from outside, so this part stays free of Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TAddressTree;

// The user's locale order of two captions: -1, 0 or 1.
using LocaleCompare = std::function<int(const std::string& a, const std::string& b)>;
// Numbers captions in the user's locale order, equal ones alike; result[i] is for captions[i].
using LocaleRanks =
    std::function<std::vector<std::size_t>(const std::vector<std::string_view>& captions)>;

// The text before the first blank, without codes 0..32 at either end; the whole caption when
// it has no blank.
std::string FirstToken(const std::string& caption);

// The first token as inet_addr reads it, in host order. None where inet_addr gives
// INADDR_NONE, which includes 255.255.255.255.
std::optional<std::uint32_t> AddressValue(const std::string& caption);

// -1: a goes first, 1: b goes first, 0: equal.
int CompareAddresses(const std::string& a, const std::string& b,
                     const LocaleCompare& localeCompare);

// Sorts every sibling list below the root level by CompareAddresses; the root level and equal
// siblings keep their order. Each caption is parsed and ranked once, in one localeRanks call.
void SortAddresses(TAddressTree& tree, const LocaleRanks& localeRanks);
