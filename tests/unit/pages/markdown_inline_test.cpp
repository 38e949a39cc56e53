// Inline markup of the Markdown view, byte for byte: emphasis, escapes,
// images, links, bare addresses and inline code, with what is escaped where.
#include <gtest/gtest.h>

#include "support/markdown_render.h"

namespace {

struct inline_case {
    const char* name;
    const char* text;
    const char* html; // between <md> and </md>
};

const inline_case inline_cases[] = {
    {"bold then italic then bold closes both", "x**a*b**c*d", "<p>\nx<b>a<i>b</i></b>c<i>d</i></p>\n"},
    {"a later single marker opens a new italic", "x*a*b*c", "<p>\nx<i>a</i>b<i>c</i></p>\n"},
    {"mixed bold marker", "x*_a_*", "<p>\nx<b>a</b></p>\n"},
    {"underscores inside an identifier", "snake_case_name", "<p>\nsnake<i>case</i>name</p>\n"},
    {"emphasis does not open a paragraph", "*a*", "<i><p>\na</i></p>\n"},
    {"emphasis closes with its paragraph", "x*a\n\nb", "<p>\nx<i>a\n</i></p>\n<p>\nb</p>\n"},
    {"backslash takes the meaning away", "x\\*a\\[b", "<p>\nx*a[b</p>\n"},
    {"backslash at the end is copied", "x\\", "<p>\nx\\</p>\n"},
    {"image", "x![alt](pic.png)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"pic.png\" srcset=\"pic.png 1x, pic.png 2x\" alt=\"alt\"/></p>\n"},
    {"dark image", "x![a](logo-dark.png)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"logo-dark.png\" srcset=\"logo-dark.png 1x, logo-dark.png 2x\" "
     "alt=\"a\" class=\"dark\"/></p>\n"},
    {"light image", "x![a](light.png)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"light.png\" srcset=\"light.png 1x, light.png 2x\" alt=\"a\" "
     "class=\"light\"/></p>\n"},
    {"dark wins over light", "x![a](light-dark.png)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"light-dark.png\" srcset=\"light-dark.png 1x, light-dark.png 2x\" "
     "alt=\"a\" class=\"dark\"/></p>\n"},
    {"the tests are case-sensitive", "x![a](Dark.png)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"Dark.png\" srcset=\"Dark.png 1x, Dark.png 2x\" alt=\"a\"/></p>\n"},
    {"alt text: escapes resolved, quotes escaped", "x![a\\*\"b](p)",
     "<p>\nx<img style=\"max-width:100%;\" src=\"p\" srcset=\"p 1x, p 2x\" alt=\"a*&quot;b\"/></p>\n"},
    {"an image whose ) is on the next line is text", "x![a](p\n)", "<p>\nx![a](p\n)</p>\n"},
    {"an image needs ( right after ]", "x![a] (p)", "<p>\nx![a] (p)</p>\n"},
    {"link", "see [the docs](docs/a.md)", "<p>\nsee <a href=\"docs/a.md\">the docs</a></p>\n"},
    {"link text keeps asterisks", "x[*a*](t)", "<p>\nx<a href=\"t\">*a*</a></p>\n"},
    {"link text resolves escapes", "x[a\\*b](t)", "<p>\nx<a href=\"t\">a*b</a></p>\n"},
    {"a quote in a target cannot end the attribute", "x[a](t\" onclick=\"x)",
     "<p>\nx<a href=\"t&quot; onclick=&quot;x\">a</a></p>\n"},
    {"raw HTML in a target stays", "x[a](<b>)", "<p>\nx<a href=\"<b>\">a</a></p>\n"},
    {"a link across lines is text", "x[a](t\n)", "<p>\nx[a](t\n)</p>\n"},
    {"a bracket without a target is text", "x[a] b", "<p>\nx[a] b</p>\n"},
    {"a link does not open a paragraph", "[a](t) b", "<a href=\"t\">a</a><p>\n b</p>\n"},
    {"linked image", "x[![alt](i.png)](t)",
     "<p>\nx<a href=\"t\"><img style=\"max-width:100%;\" src=\"i.png\" srcset=\"i.png 1x, i.png 2x\" "
     "alt=\"alt\"/></a></p>\n"},
    {"a linked image without its target is a link and text", "x[![a](i)] b",
     "<p>\nx<a href=\"i\">![a</a>] b</p>\n"},
    {"bare address", "go to https://example.com/x?a=1 now",
     "<p>\ngo to <a href=\"https://example.com/x?a=1\">https://example.com/x?a=1</a> now</p>\n"},
    {"bare address inside a word", "xhttp://a",
     "<p>\nx<a href=\"http://a\">http://a</a></p>\n"},
    {"bare address: quotes escaped in the href only", "x http://a\"b",
     "<p>\nx <a href=\"http://a&quot;b\">http://a\"b</a></p>\n"},
    {"bare address opens a paragraph", "http://a", "<p>\n<a href=\"http://a\">http://a</a></p>\n"},
    {"not an address", "x httpx://a", "<p>\nx httpx://a</p>\n"},
    {"raw HTML in prose stays", "a <b>bold</b> &amp;", "<p>\na <b>bold</b> &amp;</p>\n"},
    {"inline code is escaped and keeps its spaces", "x `a  <b> && c`",
     "<p>\nx <code>a  &lt;b&gt; &amp;&amp; c</code></p>\n"},
    {"inline code runs across lines", "x `a\nb` c", "<p>\nx <code>a\nb</code> c</p>\n"},
    {"unclosed inline code runs to the end", "x `a *b", "<p>\nx <code>a *b</code></p>\n"},
    {"two backticks stand for nothing", "x``y", "<p>\nxy</p>\n"},
    {"a backtick at the very end is dropped", "x`", "<p>\nx</p>\n"},
    {"unclosed emphasis closes at the end", "x**a*b", "<p>\nx<b>a<i>b</i></b></p>\n"},
    {"unclosed bracket at the end", "x[abc", "<p>\nx[abc</p>\n"},
};

TEST(MarkdownInline, RenderAsWritten)
{
    for (const inline_case& c : inline_cases) EXPECT_EQ(md(c.text), c.html) << c.name;
}

// Many starts on one line are answered from what the last search found: a
// line of 90,000 "[" renders quickly and completely.
TEST(MarkdownInline, UnmatchedBracketsOnOneLineStayLinear)
{
    const std::string brackets(90000, '[');
    EXPECT_EQ(md(brackets), "<p>\n" + brackets + "</p>\n");
    std::string mixed;
    for (int i = 0; i < 9000; ++i) mixed += "![a](b[![(";
    EXPECT_EQ(md(mixed).size(), mixed.size() + 9);
}

} // namespace
