#include "send/Recipients.h"

#include <algorithm>

namespace {

bool IsSkipped(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}
bool EndsPlain(char c) { return static_cast<unsigned char>(c) <= 32 || c == ','; }

}  // namespace

std::vector<std::string> SplitRecipients(const std::string& text) {
    std::vector<std::string> list;
    // The text ends at a zero byte, as a C string would.
    const std::size_t n = std::min(text.size(), text.find('\0'));
    std::size_t p = 0;
    auto skip = [&] {
        while (p < n && IsSkipped(text[p])) ++p;
    };
    skip();
    while (p < n) {
        std::string item;
        if (text[p] == '"') {
            ++p;
            bool closed = false;
            while (p < n) {
                if (text[p] == '"') {
                    if (p + 1 < n && text[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    closed = true;
                    break;
                }
                item += text[p++];
            }
            // No closing quote: the rest of the text less its last character.
            if (!closed && !item.empty()) item.pop_back();
        } else {
            while (p < n && !EndsPlain(text[p])) item += text[p++];
        }
        list.push_back(std::move(item));
        skip();
        if (p < n && text[p] == ',') {
            if (p == n - 1) list.emplace_back();
            ++p;
            skip();
        }
    }
    return list;
}
