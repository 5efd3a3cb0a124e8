#include "common/SenderList.h"

#include "common/defaults.h"
#include "platform/UserName.h"

namespace {
constexpr char kSender[] = "Sender";

char LowerLatin(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
}  // namespace

bool SameTextLatin(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerLatin(a[i]) != LowerLatin(b[i])) return false;
    return true;
}

TSenderList LoadSenderNames(const TIniFile& ini, std::int32_t maxSender,
                            const std::function<std::string()>& fallback) {
    TSenderList list;
    for (std::int32_t i = 1; i <= maxSender; ++i) {
        std::string name = ini.ReadString(kSender, kSender + std::to_string(i), "");
        if (!name.empty()) list.push_back(std::move(name));
    }
    if (list.empty()) list.push_back(fallback());
    return list;
}

std::string AddToSenderList(TSenderList& list, const std::string& typed, std::int32_t maxSender) {
    std::string top = typed;
    auto it = list.begin();
    while (it != list.end() && !SameTextLatin(*it, typed)) ++it;
    if (it != list.end()) {
        top = *it;
        list.erase(it);
    }
    list.insert(list.begin(), top);
    if (static_cast<std::int64_t>(list.size()) > maxSender) list.pop_back();
    return top;
}

void SaveSenderNames(TIniFile& ini, const TSenderList& list) {
    for (std::size_t i = 0; i < list.size(); ++i)
        ini.WriteString(kSender, kSender + std::to_string(i + 1), list[i]);
}

std::string GetUserFromWindows() {
    char buffer[255];
    std::uint32_t size = sizeof buffer;
    if (platform::GetUserNameA(buffer, &size) && size >= 1) return std::string(buffer, size - 1);
    return Ansi(msg::UnknownUser);
}
