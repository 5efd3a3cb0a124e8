// The user's locale order of Windows-1251 captions, sorted the way a word sort does it:
// case counts (lower case first), hyphens and apostrophes count only between captions that are
// otherwise equal, blanks and other punctuation count and go before digits and letters, and
// digits compare one by one ("PC10" before "PC2").
//
// For SortAddresses pass [&](const auto& captions) { return collator.ranks(captions); }, for
// CompareAddresses [&](const auto& a, const auto& b) { return collator.compare(a, b); }.
#pragma once

#include <QCollator>
#include <QLocale>
#include <cstddef>
#include <string_view>
#include <vector>

class TCaptionCollator {
public:
    explicit TCaptionCollator(const QLocale& locale = QLocale());

    // -1, 0 or 1.
    int compare(std::string_view a, std::string_view b) const;
    // Positions in this order, equal captions alike; ranks(c)[i] is for c[i].
    std::vector<std::size_t> ranks(const std::vector<std::string_view>& captions) const;

private:
    QCollator collator_;
};
