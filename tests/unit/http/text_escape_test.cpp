#include "http/text_escape.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string escaped(const std::string& text, uint32_t set)
{
    char out[256];
    int64_t n = html_escape(out, sizeof(out), text.data(), text.size(), set);
    EXPECT_EQ((uint64_t)n, html_escaped_length(text.data(), text.size(), set));
    return n < 0 ? std::string("<failed>") : std::string(out, (size_t)n);
}

std::string encoded(const std::string& text, percent_set set)
{
    char out[256];
    int64_t n = percent_encode(out, sizeof(out), text.data(), text.size(), set);
    EXPECT_EQ((uint64_t)n, percent_encoded_length(text.data(), text.size(), set));
    return n < 0 ? std::string("<failed>") : std::string(out, (size_t)n);
}

TEST(TextEscape, HtmlSets)
{
    const std::string text = "a<b>&\"c'd";
    EXPECT_EQ(escaped(text, escape_markup), "a&lt;b&gt;&amp;\"c'd");
    EXPECT_EQ(escaped(text, escape_markup | escape_double_quote), "a&lt;b&gt;&amp;&quot;c'd");
    EXPECT_EQ(escaped(text, escape_all), "a&lt;b&gt;&amp;&quot;c&#39;d");
    EXPECT_EQ(escaped(text, escape_double_quote), "a<b>&&quot;c'd");
    EXPECT_EQ(escaped(std::string("\xc3\xa9\0x", 4), escape_all), std::string("\xc3\xa9\0x", 4));
}

TEST(TextEscape, PercentSets)
{
    EXPECT_EQ(encoded("/abs/?<script>\"x", percent_redirect), "/abs/?%3Cscript%3E%22x");
    EXPECT_EQ(encoded("/a b/%41?q=1&r={|}^`\\'", percent_redirect), "/a%20b/%41?q=1&r=%7B%7C%7D%5E%60%5C%27");
    EXPECT_EQ(encoded(std::string("\x01\x7f\x80\xff", 4), percent_redirect), "%01%7F%80%FF");
    EXPECT_EQ(encoded("a#b 50%.txt?&", percent_segment), "a%23b%2050%25.txt%3F%26");
    EXPECT_EQ(encoded("Az09-._~/", percent_segment), "Az09-._~%2F");
    EXPECT_EQ(encoded("\xe2\x82\xac", percent_segment), "%E2%82%AC");
}

TEST(TextEscape, RoomIsNeverExceeded)
{
    char out[8];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(html_escape(out, 7, "<<", 2, escape_markup), -1);
    EXPECT_EQ(html_escape(out, 8, "<<", 2, escape_markup), 8);
    EXPECT_EQ(percent_encode(out, 5, "  ", 2, percent_segment), -1);
    EXPECT_EQ(percent_encode(out, 6, "  ", 2, percent_segment), 6);
    EXPECT_EQ(std::string(out, 6), "%20%20");
    EXPECT_EQ(html_escape(out, 0, "", 0, escape_all), 0);
}

} // namespace
