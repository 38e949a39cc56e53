// The three word lists of the code highlighter.
#pragma once
#include <cstdint>

// The list a word was found in; the highlighter wraps it in that element.
enum code_word : uint8_t {
    code_word_none,
    code_word_keyword, // <keyword>
    code_word_keyfunc, // <keyfunc>
    code_word_keyprep, // <keyprep>
};

// No entry of any list is longer than this many bytes.
constexpr uint64_t code_word_longest = 15;

// The first list (keyword, keyfunc, keyprep) holding the length bytes at word
// exactly, or code_word_none. Any thread.
code_word code_word_kind(const char* word, uint64_t length);
