// The Markdown page as a whole: its frame, the text preparation, pages larger
// than a buffer half (streamed in exact chunks, identical to one large
// rendering) and input that must not hurt: each gets a complete page.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/markdown_render.h"

namespace {

const std::string head =
    "<!DOCTYPE html><html><head>"
    "<link href=\"/quillnest/theme.css\" rel=\"stylesheet\" type=\"text/css\" />"
    "<meta name=\"viewport\" content=\"width=576, initial-scale=1.0, minimum-scale=1.0, maximum-scale=1.0, "
    "user-scalable=0\" />"
    "<meta name=\"format-detection\" content=\"date=no\" />"
    "<meta name=\"format-detection\" content=\"telephone=no\" />"
    "<title>";

// A document that uses every construct, about `size` bytes long.
std::string every_construct(uint64_t size)
{
    const std::string piece =
        "# Heading with *emphasis*\n\nA paragraph with **bold**, _italic_, `code <b>`, a "
        "[link](docs/a.md \"t\") and http://example.com/x?y=1 and \\*escapes\\*.  \nA second line.\n\n"
        "![logo](logo-dark.png) [![badge](b-light.svg)](https://ci.example)\n\n---\n\n"
        "| Name | Size | Note |\n|:-----|-----:|:----:|\n| a.md | 12 | *x* |\n| b\\ \\ | 3 | y |\n\n"
        "```c\n#include <stdio.h>\nint main(void) { printf(\"%d\\n\", 0x1F + 2); return 0; } // done\n"
        "```\n\n###### Small\ntext & more\n\n";
    std::string text;
    while (text.size() < size) text += piece;
    return text;
}

TEST(MarkdownPage, EmptyTextGivesHeadAndEnd)
{
    rendered_page r = render_text("");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.page, head + "page.md</title></head><body class=\"qn_md\"><md></md></body></html>");
}

TEST(MarkdownPage, DebugScriptComesFirst)
{
    rendered_page r = render_text("x", body_offset + 262144, true, "a.md", true);
    EXPECT_EQ(r.page.rfind("<!DOCTYPE html><html><head><script type=\"text/javascript\" "
                           "src=\"/quillnest/lib-debug.js\"></script><link ",
                           0),
              0u);
}

TEST(MarkdownPage, TitleIsEscaped)
{
    rendered_page r = render_text("x", body_offset + 262144, true, "</title><script>a&'\"");
    EXPECT_NE(r.page.find("<title>&lt;/title&gt;&lt;script&gt;a&amp;&#39;&quot;</title>"), std::string::npos);
    EXPECT_EQ(r.page.find("<script>"), std::string::npos);
}

std::string utf16(const std::u16string& text, bool big_endian)
{
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t u : text) {
        char lo = (char)(u & 0xFF), hi = (char)(u >> 8);
        bytes += big_endian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return bytes;
}

TEST(MarkdownPage, TextPreparation)
{
    const std::string plain = md("# Ünï\r\n\r\nx 😀 y\r\n");
    EXPECT_EQ(plain, "<h1>\nÜnï\n</h1>\n<p>\nx 😀 y\n</p>\n");
    EXPECT_EQ(md("\xEF\xBB\xBF# Ünï\n\nx 😀 y\n"), plain);
    const std::u16string text = u"# Ünï\r\n\r\nx 😀 y\r\n";
    EXPECT_EQ(md(utf16(text, false)), plain);
    EXPECT_EQ(md(utf16(text, true)), plain);
    // An odd length puts the units on odd addresses; the last byte pairs with a zero.
    EXPECT_EQ(md(utf16(u"ab", false) + "c"), "<p>\nabc</p>\n");
    EXPECT_EQ(md(utf16(u"ab", true) + "c"), "<p>\nab\xE6\x8C\x80</p>\n");
    // The first NUL (or zero unit) ends the text.
    EXPECT_EQ(md(std::string("a\0b", 3)), "<p>\na</p>\n");
    EXPECT_EQ(md(utf16(u"a", false) + std::string("\0\0b\0", 4)), "<p>\na</p>\n");
}

TEST(MarkdownPage, UsableSizes)
{
    const uint64_t half = 262144;
    EXPECT_TRUE(markdown_fits(98303, half));
    EXPECT_FALSE(markdown_fits(98304, half));
    EXPECT_FALSE(markdown_fits(0, body_offset));
    // UTF-16 at the limit grows by half and still leaves room for the page.
    std::u16string wide(49150, u'漢');
    rendered_page r = render_text(utf16(wide, false), half);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.framed);
    std::string utf8;
    for (size_t i = 0; i < wide.size(); ++i) utf8 += "漢";
    EXPECT_EQ(md_inner(r.page), "<p>\n" + utf8 + "</p>\n");
    // Pairs of surrogates (4 bytes for 4) convert whole; lone high surrogates
    // (4 bytes for 2) would outgrow the buffer and are cut, leaving a whole page.
    std::u16string pairs;
    std::string pairs_utf8;
    for (int i = 0; i < 24000; ++i) {
        pairs += u"😀";
        pairs_utf8 += "😀";
    }
    EXPECT_EQ(md_inner(render_text(utf16(pairs, true), half).page), "<p>\n" + pairs_utf8 + "</p>\n");
    rendered_page lone = render_text(utf16(std::u16string(49000, (char16_t)0xD800), false), half);
    EXPECT_EQ(lone.result, 0);
    EXPECT_TRUE(lone.framed);
    const std::string inner = md_inner(lone.page);
    ASSERT_GT(inner.size(), 9u);
    EXPECT_EQ(inner.compare(0, 3, "<p>"), 0);
    EXPECT_LT(inner.size(), 196608u);
    // A text too large for its buffer is refused before anything is written.
    rendered_page big = render_text(std::string(98304, 'a'), half);
    EXPECT_EQ(big.result, 22);
    EXPECT_TRUE(big.raw.empty());
}

// A page larger than a buffer half goes out in exact chunks and reads the same
// as the same text rendered into one large buffer.
TEST(MarkdownPage, ChunkedPageEqualsOneLargeRendering)
{
    const std::string text = every_construct(60000);
    rendered_page whole = render_text(text, body_offset + (8u << 20));
    ASSERT_EQ(whole.result, 0);
    ASSERT_EQ(whole.chunks, 0u);
    ASSERT_NE(md_inner(whole.page), "?");
    rendered_page halves = render_text(text, body_offset + 122000);
    ASSERT_EQ(halves.result, 0);
    EXPECT_GT(halves.chunks, 0u);
    EXPECT_TRUE(halves.framed);
    EXPECT_EQ(halves.page, whole.page);
    // In one buffer the text never moves; the page must still come out the same.
    rendered_page single = render_text(text, body_offset + 131072, false);
    EXPECT_TRUE(single.framed);
    EXPECT_EQ(single.page, whole.page);
}

// Flushes at every possible place: blanks a cell separator takes back and the
// two bytes behind a line end survive wherever the buffer runs full.
TEST(MarkdownPage, FlushesAnywhereChangeNothing)
{
    std::string text = "x\n\n";
    while (text.size() < 2900) text += "|c\\ \\ \\ \\ | d  |\n|-|-|\n|e\\ \\ |f|\n\nline  \nnext\n\n";
    const std::string expected = render_text(text).page;
    uint32_t chunked = 0;
    for (uint64_t room = 8600; room < 8600 + 200; ++room) {
        rendered_page r = render_text(text, body_offset + room);
        ASSERT_EQ(r.result, 0) << room;
        ASSERT_TRUE(r.framed) << room;
        ASSERT_EQ(r.page, expected) << room;
        if (r.chunks > 0) ++chunked;
    }
    EXPECT_EQ(chunked, 200u);
}

// Elements longer than any room a flush can give are written across flushes.
TEST(MarkdownPage, ElementsLargerThanAHalf)
{
    const uint64_t half = 262144;
    const std::string address = "http://example.com/" + std::string(98303 - 19, 'a');
    const std::string image = "![" + std::string(10, 'x') + "](" + std::string(90000, 'd') + ")";
    const std::string link = "[![a](" + std::string(40000, 'i') + ")](" + std::string(40000, 't') + ")";
    const std::string code = "`" + std::string(98000, '<') + "`";
    const std::string fence = "```\n" + std::string(97000, '<') + "\n```";
    for (const std::string& text : {address, image, link, code, fence}) {
        ASSERT_TRUE(markdown_fits(text.size(), half));
        rendered_page r = render_text(text, half);
        ASSERT_EQ(r.result, 0);
        EXPECT_GT(r.chunks, 0u);
        EXPECT_TRUE(r.framed);
        EXPECT_EQ(r.page, render_text(text, body_offset + (16u << 20)).page);
    }
}

// Input of any kind ends as a complete, well-framed page.
TEST(MarkdownPage, HostileInputGetsACompletePage)
{
    std::string junk;
    uint32_t seed = 12345;
    for (int i = 0; i < 90000; ++i) {
        seed = seed * 1103515245u + 12345u;
        junk += (char)(seed >> 16);
    }
    std::string nesting;
    for (int i = 0; i < 30000; ++i) nesting += "[![";
    std::string table_rows;
    while (table_rows.size() < 90000) table_rows += "\n||||||||||";
    const std::string cases[] = {
        junk,
        std::string(100000, '`'),
        std::string(1 << 20, '*'),
        std::string(1 << 20, 'a'),
        std::string(1 << 20, ' ') + "x",
        std::string(500000, '\n'),
        nesting,
        std::string(90000, '['),
        std::string(90000, '|'),
        "x\n" + table_rows,
        "```\n" + std::string(90000, '"'),
        "```\n" + std::string(90000, '#'),
        "```\n " + std::string(90000, '1'),
        std::string(90000, '\\'),
        "![" + std::string(90000, '(') + "](",
    };
    for (const std::string& text : cases) {
        // The smallest halves that take the text, then one larger buffer:
        // the flushes fall elsewhere, the page must not change.
        rendered_page r = render_text(text, body_offset + 2 * text.size() + 8192);
        ASSERT_EQ(r.result, 0);
        EXPECT_TRUE(r.framed);
        EXPECT_NE(md_inner(r.page), "?") << text.substr(0, 20);
        EXPECT_EQ(r.page, render_text(text, body_offset + 2 * text.size() + (1u << 20), false).page);
    }
}

} // namespace
