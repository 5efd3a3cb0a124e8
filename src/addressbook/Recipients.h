// Recipient text from an address book node: entries joined by ", ", a workgroup as its name
// followed by "*", the whole network as "*".
#pragma once

#include <string>

#include "addressbook/AddressTree.h"

// The address part of a caption: the text before the first "(", trimmed of codes 0..32; the
// whole caption unchanged when it holds no "(".
std::string GETIP(const std::string& caption);

// The recipient text for a selected node (null: empty).
std::string RecipientText(const TAddressNode* node);

// Whether a caption is the entire-network caption, byte for byte.
bool IsEntireNetwork(const std::string& caption);
