#include "addressbook/TargetGroups.h"

#include "addressbook/Recipients.h"

std::vector<std::string> TargetGroupCaptions(const TAddressTree& tree) {
    std::vector<std::string> captions;
    for (const TAddressNode* n = tree.first(); n; n = n->next())
        if (n->kind() == akGroup && !IsEntireNetwork(n->caption())) captions.push_back(n->caption());
    return captions;
}

TAddressNode* FindNodeByCaption(const TAddressTree& tree, const std::string& caption) {
    for (TAddressNode* n = tree.first(); n; n = n->next())
        if (n->caption() == caption) return n;
    return nullptr;
}
