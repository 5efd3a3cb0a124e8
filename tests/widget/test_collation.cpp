// The locale order of captions through QCollator, and sorting a large address book with it.
#include <gtest/gtest.h>

#include <QLocale>
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "addressbook/AddressTree.h"
#include "addressbook/Collation.h"
#include "addressbook/Ordering.h"
#include "platform/CodePage.h"

namespace {

struct Row {
    const char* name;  // UTF-8 here, Windows-1251 in the caption
    bool equalToPrevious = false;
};

// The rows are in the expected order: ranks must give it from the reversed list, and compare
// must agree on every neighbouring pair.
void ExpectOrder(const TCaptionCollator& collator, const std::vector<Row>& rows) {
    std::vector<std::string> captions;
    std::vector<std::size_t> expected;
    for (const Row& row : rows) {
        captions.push_back(platform::Utf8ToCp1251(row.name));
        expected.push_back(expected.empty() ? 0 : expected.back() + (row.equalToPrevious ? 0 : 1));
    }
    for (std::size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(std::string(rows[i - 1].name) + " / " + rows[i].name);
        const int want = rows[i].equalToPrevious ? 0 : -1;
        EXPECT_EQ(collator.compare(captions[i - 1], captions[i]), want);
        EXPECT_EQ(collator.compare(captions[i], captions[i - 1]), -want);
    }
    const std::vector<std::string_view> reversed(captions.rbegin(), captions.rend());
    EXPECT_EQ(collator.ranks(reversed),
              std::vector<std::size_t>(expected.rbegin(), expected.rend()));
}

TEST(Collation, RussianWordOrder) {
    const std::vector<Row> rows = {
        // Punctuation other than hyphen and apostrophe counts, before digits and letters.
        {"(архив)"},
        {"1С Бухгалтерия"},
        // Cyrillic before Latin in this locale.
        {"Анна"},
        {"Ан\u00ADна", true},  // a soft hyphen is ignored altogether
        {"Анна Мария"},        // a blank counts
        {"Аннабель"},          // a hyphen does not...
        {"Анна-Мария"},
        {"АннаМария"},  // ...unless all else is equal
        {"Елкин"},
        {"Ёлкин"},
        {"иванов"},
        {"Иванов"},
        {"Обломов"},
        {"Обрайен"},
        {"О'Брайен"},
        {"О\u2019Брайен"},
        {"Пётр"},
        {"Петров"},
        {"Сервер10"},  // digit by digit
        {"Сервер2"},
        {"ivanov"},
        {"Ivanov"},
        {"PC 1"},
        {"PC-1"},
        {"PC1"},
        {"PC10"},
        {"PC2"},
    };
    ExpectOrder(TCaptionCollator(QLocale("ru_RU")), rows);
}

TEST(Collation, CLocaleIsCodePointOrder) {
    const std::vector<Row> rows = {
        {""},     {"Ivanov"},     {"ivanov"}, {"Ёлкин"},  {"Ан\u00ADна"},
        {"Анна"}, {"Анна-Мария"}, {"Елкин"},  {"Иванов"}, {"иванов"},
    };
    ExpectOrder(TCaptionCollator(QLocale::c()), rows);
}

// Time is printed, not asserted: the machine running the tests decides it.
TEST(Collation, SortsAHundredThousandNodes) {
    const char* const surnames[] = {"Иванов", "Петрова", "Ёлкин", "Smith", "O'Neil", "Сидоров-Кац"};
    std::mt19937 random(1);
    auto pick = [&random](int n) { return static_cast<int>(random() % unsigned(n)); };
    TAddressTree tree;
    TAddressNode* net = tree.addRoot("Net", akGroup);
    for (int g = 0; g < 1000; ++g) {
        TAddressNode* group = tree.addChild(
            net, platform::Utf8ToCp1251((g % 2 ? "Отдел " : "Group ") + std::to_string(pick(1000))),
            akGroup);
        for (int i = 0; i < 100; ++i) {
            std::string caption;
            switch (pick(3)) {
                case 0:
                    caption = "10." + std::to_string(pick(256)) + '.' + std::to_string(pick(256)) +
                              '.' + std::to_string(pick(256)) + " (шлюз)";
                    break;
                case 1:
                    caption = std::string(surnames[pick(6)]) + ' ' + std::to_string(pick(100));
                    break;
                default:
                    caption = "PC" + std::to_string(pick(10000));
            }
            tree.addChild(group, platform::Utf8ToCp1251(caption), akComputer);
        }
    }

    const TCaptionCollator collator(QLocale("ru_RU"));
    const auto start = std::chrono::steady_clock::now();
    SortAddresses(tree, [&collator](const auto& captions) { return collator.ranks(captions); });
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::cout << "[     TIME ] sorted " << tree.size() << " nodes in " << took.count() << " ms\n";

    const LocaleCompare byLocale = [&collator](const std::string& a, const std::string& b) {
        return collator.compare(a, b);
    };
    int disorders = 0;
    for (const TAddressNode* node = tree.first(); node; node = node->next()) {
        const TAddressNode* next = node->parent() ? node->nextSibling() : nullptr;
        if (next && CompareAddresses(node->caption(), next->caption(), byLocale) > 0) ++disorders;
    }
    EXPECT_EQ(disorders, 0);
}

}  // namespace
