#include <gtest/gtest.h>

#include <string>

#include "platform/Shell.h"

using platform::ShellTargetUrl;

namespace {

TEST(ShellTargetUrl, Table) {
    const struct {
        const char* target;
        const char* url;
    } cases[] = {
        // A scheme: as it stands, not encoded again.
        {"http://example.com/a b", "http://example.com/a b"},
        {"HTTPS://Example.com", "HTTPS://Example.com"},
        {"mailto:ivan@example.com", "mailto:ivan@example.com"},
        {"file:///tmp/a%20b", "file:///tmp/a%20b"},
        {"svn+ssh://host/repo", "svn+ssh://host/repo"},
        {"x-my.app:open", "x-my.app:open"},
        {"  \thttp://example.com\t ", "http://example.com"},
        // An absolute path: a file: URL.
        {"/tmp/readme.txt", "file:///tmp/readme.txt"},
        {"/home/ivan/My Docs/a#1?.txt", "file:///home/ivan/My%20Docs/a%231%3F.txt"},
        {"/tmp/100%", "file:///tmp/100%25"},
        {"/tmp/Привет", "file:///tmp/%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82"},
        {"/a-b_c.d~e/(1)+x=y:z@w", "file:///a-b_c.d~e/(1)+x=y:z@w"},
        {" /tmp/a b ", "file:///tmp/a%20b"},
        // Anything else: an http:// address.
        {"www.example.com", "http://www.example.com"},
        {"example.com/path?q=1", "http://example.com/path?q=1"},
        {"C:\\Docs\\a.txt", "http://C:\\Docs\\a.txt"},  // a drive letter is not a scheme
        {"1abc:x", "http://1abc:x"},                    // a scheme starts with a letter
        {"a b:c", "http://a b:c"},
        {"relative/path", "http://relative/path"},
        // Nothing to open.
        {"", ""},
        {" \t ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ShellTargetUrl(c.target), c.url) << c.target;
}

}  // namespace
