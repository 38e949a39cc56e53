// Block structure of the Markdown view, byte for byte: paragraphs, headings,
// line breaks, rules and tables.
#include <gtest/gtest.h>

#include "support/markdown_render.h"

namespace {

struct block_case {
    const char* name;
    const char* text;
    const char* html; // between <md> and </md>
};

const block_case block_cases[] = {
    {"paragraph", "one\ntwo", "<p>\none\ntwo</p>\n"},
    {"heading one", "# Title\n", "<h1>\nTitle\n</h1>\n"},
    {"heading at the end of the text", "## Sub", "<h2>\nSub</h2>\n"},
    {"seven signs give level six", "####### Deep\n", "<h6>\nDeep\n</h6>\n"},
    {"no space needed after the signs", "###x\n", "<h3>\nx\n</h3>\n"},
    {"a lone sign writes nothing", "#\n", "\n"},
    {"signs and blanks alone", "##  \t\nx", "\n<p>\nx</p>\n"},
    {"sign inside a paragraph stays text", "para\n# not\n", "<p>\npara\n# not\n</p>\n"},
    {"heading ends at its line end", "# H\ntext\n", "<h1>\nH\n</h1>\n<p>\ntext\n</p>\n"},
    {"blank lines collapse", "a\n\n\n\nb\n", "<p>\na\n</p>\n<p>\nb\n</p>\n"},
    {"two spaces break the line", "a  \nb", "<p>\na<br />\nb</p>\n"},
    {"one space does not", "a \nb", "<p>\na \nb</p>\n"},
    {"a blank line wins over the break", "a  \n\nb", "<p>\na \n</p>\n<p>\nb</p>\n"},
    {"rule between paragraphs", "a\n\n---\n\nb", "<p>\na\n</p>\n<hr />\n<p>\nb</p>\n"},
    {"rule inside a paragraph line", "a --- b", "<p>\na <hr /> b</p>\n"},
    {"fourth dash is ordinary", "----", "<hr /><p>\n-</p>\n"},
    {"a dash opens a paragraph", "- item", "<p>\n- item</p>\n"},
    {"runs of blanks collapse", "a  \t  b", "<p>\na b</p>\n"},
    {"first line is never a table", "|a|b|\n", "|<p>\na|b|\n</p>\n"},
    {"bar inside a paragraph is copied", "a | b", "<p>\na | b</p>\n"},
    {"table with alignments",
     "x\n| a | b | c | d |\n|:--|:-:|--:|---|\n| 1 | 2 | 3 | 4 |\n",
     "<p>\nx\n</p>\n<table><thead>\n"
     "<tr class=\"qn_e\"><th class=\"qn_l\">a</th><th class=\"qn_c\">b</th><th class=\"qn_r\">c</th>"
     "<th class=\"\">d</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"qn_l\">1</td><td class=\"qn_c\">2</td><td class=\"qn_r\">3</td>"
     "<td class=\"\">4</td></tr>\n</tbody></table>\n"},
    {"alignments without blanks around the bars",
     "\n|a|b|c|\n|:-|:-:|-:|\n|1|2|3|",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"qn_l\">a</th><th class=\"qn_c\">b</th>"
     "<th class=\"qn_r\">c</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"qn_l\">1</td><td class=\"qn_c\">2</td><td class=\"qn_r\">3</td>"
     "</tr>\n</tbody></table>\n"},
    {"body rows alternate",
     "\n|h|\n|-|\n|1|\n|2|\n|3|\n",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"\">1</td></tr>\n<tr class=\"qn_o\"><td class=\"\">2</td></tr>\n"
     "<tr class=\"qn_e\"><td class=\"\">3</td></tr>\n</tbody></table>\n"},
    {"text right after a table opens a paragraph",
     "\n|h|\n|-|\n|1|\ntext",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"\">1</td></tr>\n</tbody></table>\n<p>\ntext</p>\n"},
    {"text ending in a row without LF",
     "\n|h|\n|-|\n|1",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"\">1</td></tr>\n</tbody></table>\n"},
    {"text ending after the delimiter line",
     "\n|h|\n|-|",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n</thead><tbody>\n"
     "</tbody></table>\n"},
    {"no delimiter line: the first row is a body row",
     "\n|a|b",
     "\n<table><thead>\n<tr class=\"qn_e\"><td class=\"\">a</td><td class=\"\">b</td></tr>\n"
     "</tbody></table>\n"},
    {"blanks before a separator are taken back",
     "\n|a  \t|  b|\n|-|-|\n",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">a</th><th class=\"\">b</th></tr>\n"
     "</thead><tbody>\n</tbody></table>\n"},
    {"a table closes an open paragraph and emphasis",
     "*p\n|h|\n|-|",
     "<i><p>\np\n</i></p>\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n"
     "</thead><tbody>\n</tbody></table>\n"},
    {"no heading inside a table",
     "\n|# a|\n|-|\n",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\"># a</th></tr>\n</thead><tbody>\n"
     "</tbody></table>\n"},
    {"a blank line ends a table",
     "\n|h|\n|-|\n|1|\n\nafter",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">h</th></tr>\n</thead><tbody>\n"
     "<tr class=\"qn_e\"><td class=\"\">1</td></tr>\n</tbody></table>\n\n<p>\nafter</p>\n"},
    {"the column index stops at the last column",
     "\n|a|b|\n|-|-:|\n",
     "\n<table><thead>\n<tr class=\"qn_e\"><th class=\"\">a</th><th class=\"qn_r\">b</th></tr>\n"
     "</thead><tbody>\n</tbody></table>\n"},
};

TEST(MarkdownBlocks, RenderAsWritten)
{
    for (const block_case& c : block_cases) EXPECT_EQ(md(c.text), c.html) << c.name;
}

TEST(MarkdownBlocks, LineEndsOfEveryKindGiveTheSamePage)
{
    const std::string lf = md("# T\n\na  \nb\n\n|x|\n|-|\n|1|\n");
    EXPECT_EQ(md("# T\r\n\r\na  \r\nb\r\n\r\n|x|\r\n|-|\r\n|1|\r\n"), lf);
    EXPECT_EQ(md("# T\r\ra  \rb\r\r|x|\r|-|\r|1|\r"), lf);
    EXPECT_EQ(md("# T\r\n\ra  \nb\r\n\r|x|\n|-|\r\n|1|\r"), lf);
}

TEST(MarkdownBlocks, SixtyFiveColumnsKeepTheLastAlignment)
{
    std::string head = "\n", delimiter, row;
    for (int i = 0; i < 65; ++i) {
        head += "|h";
        delimiter += i == 63 ? "|-:" : "|:-";
        row += "|c";
    }
    std::string page = md(head + "\n" + delimiter + "\n" + row + "\n");
    // 63 left-aligned columns, then column 63 (right) for every later cell too.
    size_t left = 0, right = 0;
    for (size_t at = 0; (at = page.find("<td class=\"qn_l\">", at)) != std::string::npos; ++at) ++left;
    for (size_t at = 0; (at = page.find("<td class=\"qn_r\">", at)) != std::string::npos; ++at) ++right;
    EXPECT_EQ(left, 63u);
    EXPECT_EQ(right, 2u);
}

} // namespace
