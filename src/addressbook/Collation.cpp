#include "addressbook/Collation.h"

#include <QCollatorSortKey>
#include <QString>
#include <algorithm>
#include <numeric>
#include <optional>

#include "platform/QtAnsi.h"

// QCollator offers two ways with punctuation and neither is a word sort. ignorePunctuation
// (ICU "shifted") drops blanks and all punctuation, so "Анна Мария", "Анна-Мария" and
// "АннаМария" become equal and "(old)" files under "o". The default ("non-ignorable") weighs
// all of it, so "О'Брайен" lands before "Обломов". We keep the default and take hyphens and
// apostrophes out ourselves, looking at them again only to break a tie.
//
// QLocale::c() has no ICU collator behind it: code point order. Under the C or C.UTF-8
// environment that is also what QLocale() gives.

namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

bool IsWordMark(QChar c) {
    return c == u'-' || c == u'\'' || c == u'\u2019';
}

struct TKey {
    QCollatorSortKey word;                  // the caption without hyphens and apostrophes
    std::optional<QCollatorSortKey> whole;  // only when it had any
};

TKey MakeKey(const QCollator& collator, std::string_view caption) {
    const QString text = platform::AnsiToQString(caption);
    if (std::none_of(text.begin(), text.end(), IsWordMark)) return {collator.sortKey(text), {}};
    QString word = text;
    word.removeIf(IsWordMark);
    return {collator.sortKey(word), collator.sortKey(text)};
}

int CompareKeys(const TKey& a, const TKey& b) {
    if (const int byWord = a.word.compare(b.word)) return Sign(byWord);
    if (!a.whole && !b.whole) return 0;
    return Sign((a.whole ? *a.whole : a.word).compare(b.whole ? *b.whole : b.word));
}

}  // namespace

TCaptionCollator::TCaptionCollator(const QLocale& locale) : collator_(locale) {
    collator_.setCaseSensitivity(Qt::CaseSensitive);
    collator_.setNumericMode(false);
    collator_.setIgnorePunctuation(false);
}

// Through sort keys rather than QCollator::compare, which puts an empty text before one made
// of ignorable characters alone while their keys are equal: compare and ranks must agree.
int TCaptionCollator::compare(std::string_view a, std::string_view b) const {
    return CompareKeys(MakeKey(collator_, a), MakeKey(collator_, b));
}

std::vector<std::size_t> TCaptionCollator::ranks(
    const std::vector<std::string_view>& captions) const {
    std::vector<TKey> keys;
    keys.reserve(captions.size());
    for (std::string_view caption : captions) keys.push_back(MakeKey(collator_, caption));
    std::vector<std::size_t> order(captions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&keys](std::size_t i, std::size_t j) { return CompareKeys(keys[i], keys[j]) < 0; });
    std::vector<std::size_t> result(captions.size());
    std::size_t rank = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && CompareKeys(keys[order[k - 1]], keys[order[k]]) != 0) ++rank;
        result[order[k]] = rank;
    }
    return result;
}
