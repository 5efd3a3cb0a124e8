#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/CodePage.h"

using namespace platform;

namespace {

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}

TEST(CodePageCp1251, EveryByteRoundTrips) {
    const std::string bytes = AllBytes();
    const std::u16string text = Cp1251ToUtf16(bytes);
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(text[0x98], u'\u0098');
    EXPECT_EQ(text.find(u'\uFFFD'), std::u16string::npos);
    EXPECT_EQ(Utf16ToCp1251(text), bytes);
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(bytes)), bytes);
}

struct Mapping {
    const char* what;
    std::string cp1251;
    std::u16string utf16;
    std::string utf8;
};

TEST(CodePageCp1251, KnownTextsBothWays) {
    const Mapping cases[] = {
        {"empty", "", u"", ""},
        {"ascii", "Hello, 42!", u"Hello, 42!", "Hello, 42!"},
        {"cyrillic", "\xCF\xF0\xE8\xE2\xE5\xF2", u"Привет", "Привет"},
        {"yo and numero", "\xA8\xB8\xB9", u"Ёё№", "Ёё№"},
        {"euro", "\x88", u"€", "€"},
        {"unassigned 0x98", "a\x98z", u"a\u0098z", "a\xC2\x98z"},
        {"embedded zero", std::string("a\0b", 3), std::u16string(u"a\0b", 3),
         std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Cp1251ToUtf16(c.cp1251), c.utf16);
        EXPECT_EQ(Utf16ToCp1251(c.utf16), c.cp1251);
        EXPECT_EQ(Cp1251ToUtf8(c.cp1251), c.utf8);
        EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251);
    }
}

TEST(CodePageCp1251, UnencodableOrMalformedUtf16BecomesQuestionMarks) {
    const struct {
        const char* what;
        std::u16string text;
        std::string expected;
    } cases[] = {
        {"cjk", u"a中b", "a?b"},
        {"emoji is one character", u"a😀b", "a?b"},
        {"two emoji", u"😀😀", "??"},
        {"lone high surrogate", u"x\xD800y", "x?y"},
        {"lone low surrogate", u"x\xDC00y", "x?y"},
        {"high surrogate at end", u"ab\xD83D", "ab?"},
        {"reversed pair", u"\xDE00\xD83D", "??"},
        {"mixed with cyrillic", u"Я中Я", "\xDF?\xDF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf16ToCp1251(c.text), c.expected);
    }
}

TEST(CodePageCp1251, UnencodableOrMalformedUtf8BecomesQuestionMarks) {
    const struct {
        const char* what;
        std::string utf8;
        std::string expected;
    } cases[] = {
        {"cjk", "a中b", "a?b"},
        {"emoji is one character", "a😀b", "a?b"},
        {"stray continuation byte", "x\x80y", "x?y"},
        {"invalid byte", "\xFF\xFE", "??"},
        {"truncated in the middle", "\xE2\x82z", "??z"},
        {"truncated at the end", "a\xE2\x82", "a??"},
        {"overlong", "\xC0\x80", "??"},
        {"encoded surrogate", "\xED\xA0\x80", "???"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"bad byte between letters", "\xD0\x9F\xFF\xD0\xB0", "\xCF?\xE0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8ToCp1251(c.utf8), c.expected);
    }
}

TEST(CodePageOther, ConvertsByName) {
    EXPECT_EQ(Utf16ToCodePage(u"А", "CP866"), "\x80");
    EXPECT_EQ(CodePageToUtf16("\x80\xAF", "CP866"), u"Ап");
    EXPECT_EQ(Utf16ToCodePage(u"Привет", "cp1251"), "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(Utf16ToCodePage(u"中😀", "UTF-8"), "中😀");
}

TEST(CodePageOther, UnassignedByteKeptOnlyForWindows1251) {
    EXPECT_EQ(CodePageToUtf16("a\x98", "WINDOWS-1251"), u"a\u0098");
    EXPECT_EQ(Utf16ToCodePage(u"\u0098", "CP1251"), "\x98");
    // Windows-1250 has the same hole; there it is simply undecodable.
    EXPECT_EQ(CodePageToUtf16("x\x98y", "CP1250"), u"x\uFFFDy");
    EXPECT_EQ(Utf16ToCodePage(u"\u0098", "CP1250"), "?");
}

TEST(CodePageOther, UndecodableAndUnencodable) {
    EXPECT_EQ(CodePageToUtf16("\xAA\xD2", "CP1253"), u"\uFFFD\uFFFD");
    EXPECT_EQ(CodePageToUtf16("a\x81", "SHIFT_JIS"), u"a\uFFFD");  // lead byte without trail
    EXPECT_EQ(Utf16ToCodePage(u"€😀", "CP866"), "??");
    // The replacement is '?' in the target encoding, not a raw 0x3F byte.
    EXPECT_EQ(Utf16ToCodePage(u"a\xD800", "UTF-16BE"), std::string("\0a\0?", 4));
}

TEST(CodePageOther, UnknownCodePageThrows) {
    for (const char* name : {"NO-SUCH-CODEPAGE", ""}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(CodePageToUtf16("abc", name), std::invalid_argument);
        EXPECT_THROW(Utf16ToCodePage(u"abc", name), std::invalid_argument);
    }
    EXPECT_THROW(CodePageToUtf16("abc", nullptr), std::invalid_argument);
}

TEST(CodePageThreads, ConcurrentConversionsAgree) {
    const std::string bytes = AllBytes();
    const std::string cp866 = Utf16ToCodePage(u"Привет, мир", "CP866");
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                // Vary the length so conversions stop at different points.
                const std::string part = bytes.substr(static_cast<std::size_t>((i + t) % 256));
                if (Utf16ToCp1251(Cp1251ToUtf16(part)) != part) ++failures[t];
                if (Utf8ToCp1251(Cp1251ToUtf8(part)) != part) ++failures[t];
                if (CodePageToUtf16(cp866, "CP866") != u"Привет, мир") ++failures[t];
                if (Utf16ToCp1251(u"x😀") != "x?") ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
