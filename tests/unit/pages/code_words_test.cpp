// The highlighter's word lists: exact, case-sensitive lookups in list order.
#include <gtest/gtest.h>

#include <cstring>

#include "pages/code_words.h"

namespace {

TEST(CodeWords, Lookups)
{
    struct word_case {
        const char* word;
        code_word kind;
    };
    const word_case cases[] = {
        {"DWORD", code_word_keyword}, {"zsh", code_word_keyword},      {"uint8_t", code_word_keyword},
        {"char16_t", code_word_keyword}, {"printf", code_word_keyfunc}, {"write", code_word_keyfunc},
        {"dprintf", code_word_keyfunc}, {"#define", code_word_keyprep}, {"#include", code_word_keyprep},
        {"__VA_ARGS__", code_word_keyprep}, {"STDOUT_FILENO", code_word_keyprep},
        {"Int", code_word_none},         {"in", code_word_none},          {"ints", code_word_none},
        {"#", code_word_none},           {"main", code_word_none},        {"", code_word_none},
    };
    for (const word_case& c : cases) EXPECT_EQ(code_word_kind(c.word, std::strlen(c.word)), c.kind) << c.word;
}

TEST(CodeWords, OnlyTheGivenBytesCount)
{
    EXPECT_EQ(code_word_kind("interrupt", 3), code_word_keyword);
    EXPECT_EQ(code_word_kind("sysupgradesysupgrade", 20), code_word_none);
}

} // namespace
