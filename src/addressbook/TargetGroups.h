// Where imported addresses go: the groups a chooser offers, and the node a chosen caption names.
#pragma once

#include <string>
#include <vector>

#include "addressbook/AddressTree.h"

// Every group (kind 0) in tree order, nested ones included, except the entire-network node.
std::vector<std::string> TargetGroupCaptions(const TAddressTree& tree);

// The first node in tree order whose caption is exactly this one, whatever its kind; null if
// none.
TAddressNode* FindNodeByCaption(const TAddressTree& tree, const std::string& caption);
