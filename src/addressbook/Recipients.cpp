#include "addressbook/Recipients.h"

#include "common/defaults.h"

namespace {

bool IsBlankCode(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

bool IsEntireNetwork(const std::string& caption) {
    static const std::string entireNetwork = Ansi(msg::EntireNetworkCaption);
    return caption == entireNetwork;
}

std::string GETIP(const std::string& caption) {
    const std::size_t paren = caption.find('(');
    if (paren == std::string::npos) return caption;
    std::size_t begin = 0;
    std::size_t end = paren;
    while (begin < end && IsBlankCode(caption[begin])) ++begin;
    while (end > begin && IsBlankCode(caption[end - 1])) --end;
    return caption.substr(begin, end - begin);
}

std::string RecipientText(const TAddressNode* node) {
    if (!node) return {};
    if (node->kind() != akGroup) {
        if (node->kind() == akWorkgroup && IsEntireNetwork(node->caption())) return "*";
        std::string text = GETIP(node->caption());
        if (node->kind() == akWorkgroup) text += '*';
        return text;
    }
    // Members only, one level deep; the separator goes in only once the text is non-empty.
    std::string text;
    for (int i = 0; i < node->childCount(); ++i) {
        const TAddressNode* child = node->child(i);
        if (!text.empty()) text += ", ";
        text += GETIP(child->caption());
        if (child->kind() == akWorkgroup) text += '*';
    }
    return text;
}
