// Fenced code blocks and the highlighter's token classes, byte for byte.
#include <gtest/gtest.h>

#include "support/markdown_render.h"

namespace {

struct code_case {
    const char* name;
    const char* code;  // the lines between the fences
    const char* html;  // what the block holds between "<pre>\n" and "</pre>\n"
};

const code_case code_cases[] = {
    {"include is a preprocessor word; markup is escaped", "#include <stdio.h>\n",
     "<keyprep>#include</keyprep> <symbol>&lt;</symbol>stdio<symbol>.</symbol>h<symbol>&gt;</symbol>\n"},
    {"an unknown # word starts a comment", "#pragma once\n", "<comment>#pragma once</comment>\n"},
    {"# before if, def, els, end or inc is no comment", "#ifx a\n", "#ifx a\n"},
    {"int before a blank is a keyword", "int a;\n", "<keyword>int</keyword> a<symbol>;</symbol>\n"},
    {"int before ; stays plain", "int;\n", "int<symbol>;</symbol>\n"},
    {"words before ( , { } are looked up", "printf(x)\n",
     "<keyfunc>printf</keyfunc><symbol>(</symbol>x<symbol>)</symbol>\n"},
    {"a word in no list passes as it is", "main (\n", "main <symbol>(</symbol>\n"},
    {"only a word at a token start is looked up", "xint a\n", "xint a\n"},
    {"the word after a symbol run is a token start", "(int)\n",
     "<symbol>(</symbol><keyword>int</keyword><symbol>)</symbol>\n"},
    {"a number after a blank, + - . :", "a 1 +2 -3 .4 :5\n",
     "a <number>1</number> <symbol>+</symbol><number>2</number> <symbol>-</symbol><number>3</number> "
     "<symbol>.</symbol><number>4</number> <symbol>:</symbol><number>5</number>\n"},
    {"hex digits and x belong to a number", "= 0x1Fz\n", "<symbol>=</symbol> <number>0x1F</number>z\n"},
    {"no number after ( or = or at a line start", "(1 =2\n3\n",
     "<symbol>(</symbol>1 <symbol>=</symbol>2\n3\n"},
    {"two equals signs are one symbol run", "a == b\n", "a <symbol>==</symbol> b\n"},
    {"strings span quotes of either kind", "s = \"a'b\"\n",
     "s <symbol>=</symbol> <string>\"a'</string>b<string>\"\n</string>"},
    {"a comment runs to its line end past quotes", "x // it's \"q\"\ny\n",
     "x <comment>// it's \"q\"</comment>\ny\n"},
    {"markup in a comment is escaped", "// a<b && c>d\n", "<comment>// a&lt;b &amp;&amp; c&gt;d</comment>\n"},
    {"spaces stay", "a    b\n", "a    b\n"},
    {"words with + never match", "g++ x\n", "g<symbol>++</symbol> x\n"},
    {"shell words", "echo $HOME\n", "<keyword>echo</keyword> <symbol>$</symbol>HOME\n"},
    {"a fence inside a line does not close", "a ```\n", "a ```\n"},
};

TEST(CodeHighlight, TokenClasses)
{
    for (const code_case& c : code_cases) {
        std::string text = std::string("```c\n") + c.code + "```\n";
        EXPECT_EQ(md(text), std::string("<pre>\n") + c.html + "</pre>\n\n") << c.name;
    }
}

struct fence_case {
    const char* name;
    const char* text;
    const char* html; // between <md> and </md>
};

const fence_case fence_cases[] = {
    {"text after the closing fence is rendered", "```\na\n```b\n", "<pre>\na\n</pre>\n<p>\nb\n</p>\n"},
    {"an empty block", "```\n```", "<pre>\n</pre>\n"},
    {"a fence on the last line writes nothing", "x\n```js", "<p>\nx\n</p>\n"},
    {"a fence line ending the text writes nothing", "x\n```\n", "<p>\nx\n</p>\n"},
    {"unclosed block", "```\nint a", "<pre>\n<keyword>int</keyword> a</pre>\n"},
    {"unclosed string", "```\n\"abc", "<pre>\n<string>\"abc</string></pre>\n"},
    {"unclosed comment", "```\n// c", "<pre>\n<comment>// c</comment></pre>\n"},
    {"a fence closes an open string", "```\n\"a\n```\n", "<pre>\n<string>\"a\n</string></pre>\n\n"},
    {"the block closes nothing that is open", "p\n```\nx\n```\nq",
     "<p>\np\n<pre>\nx\n</pre>\n\nq</p>\n"},
    {"code blocks do not take markdown", "```\n*a* [b](c) | # x\n```\n",
     "<pre>\n<symbol>*</symbol>a<symbol>*</symbol> <symbol>[</symbol>b<symbol>](</symbol>c<symbol>)"
     "</symbol> <symbol>|</symbol> <comment># x</comment>\n</pre>\n\n"},
};

TEST(CodeHighlight, FencesAndUnclosedConstructs)
{
    for (const fence_case& c : fence_cases) EXPECT_EQ(md(c.text), c.html) << c.name;
}

TEST(CodeHighlight, HundredThousandBackticksGiveOneBlock)
{
    const std::string ticks(100000, '`');
    EXPECT_EQ(md("x\n" + ticks), "<p>\nx\n</p>\n");
    // The second line's first three close the block; the rest open one on the last line.
    EXPECT_EQ(md("x\n" + ticks.substr(0, 60000) + "\n" + ticks.substr(0, 30000)),
              "<p>\nx\n<pre>\n</pre>\n</p>\n");
}

} // namespace
