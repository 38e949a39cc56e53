// The highlighter's word lists: words of C and the shell that code blocks
// mark as keywords, library functions and preprocessor words. Each list is
// sorted in ascending byte order (checked when the program is compiled) and
// searched by bisection, comparing bytes exactly.
#include "pages/code_words.h"

#include <cstring>

#include "core/text.h"

namespace {

// Entries holding "+" never match: "+" ends a word.
constexpr const char* keyword_list[] = {
    "DWORD", "DWORD64", "FILE", "KEEP", "NULL", "PROVIDE", "SORT", "WORD", "ash", "bash", "bool",
    "byte", "case", "cat", "char", "char16_t", "chgrp", "chmod", "chown", "clang", "clang++",
    "class", "const", "cp", "csh", "dash", "date", "dd", "dir", "double", "echo", "else", "endif",
    "enum", "errno_t", "esac", "extern", "false", "fi", "float", "for", "g++", "gcc", "git", "grep",
    "if", "ifconfig", "ifdef", "ifdown", "ifeq", "ifstatus", "ifup", "include", "int", "int16_t",
    "int32_t", "int64_t", "int8_t", "iw", "iwconfig", "iwlist", "kill", "ld", "less", "long", "ls",
    "make", "mkdir", "more", "mount", "mtr", "mv", "namespace", "nano", "nc", "nice", "ping", "pwd",
    "restrict", "return", "rm", "rmdir", "route", "scp", "sh", "short", "size_t", "sleep", "ssh",
    "ssize_t", "static", "struct", "sync", "sysupgrade", "tail", "tar", "tee", "test", "then",
    "time", "time_t", "touch", "true", "uci", "uint16_t", "uint32_t", "uint64_t", "uint8_t",
    "uname", "union", "unsigned", "vi", "vim", "void", "volatile", "watch", "wchar_t", "while",
    "whois", "wifi", "yes", "zsh",
};

constexpr const char* keyfunc_list[] = {
    "dprintf", "printf", "read", "recv", "send", "vdprintf", "vprintf", "write",
};

constexpr const char* keyprep_list[] = {
    "#define", "#else", "#endif", "#if", "#ifdef", "#ifndef", "#include", "DEBUG", "STDERR_FILENO",
    "STDIN_FILENO", "STDOUT_FILENO", "__VA_ARGS__",
};

template <uint64_t n>
constexpr bool sorted(const char* const (&list)[n])
{
    for (uint64_t i = 1; i < n; ++i)
        if (compare_units(list[i - 1], list[i]) >= 0) return false;
    return true;
}

template <uint64_t n>
constexpr bool fits(const char* const (&list)[n])
{
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t k = 0; list[i][k] != 0; ++k)
            if (k >= code_word_longest) return false;
    return true;
}

static_assert(sorted(keyword_list), "the keyword list must be sorted byte-wise");
static_assert(sorted(keyfunc_list), "the keyfunc list must be sorted byte-wise");
static_assert(sorted(keyprep_list), "the keyprep list must be sorted byte-wise");
static_assert(fits(keyword_list) && fits(keyfunc_list) && fits(keyprep_list),
              "code_word_longest must cover every entry");

template <uint64_t n>
constexpr uint64_t count_of(const char* const (&)[n])
{
    return n;
}

} // namespace

code_word code_word_kind(const char* word, uint64_t length)
{
    if (length == 0 || length > code_word_longest) return code_word_none;
    char key[code_word_longest + 1];
    std::memcpy(key, word, length);
    key[length] = 0;
    if (find_sorted(keyword_list, count_of(keyword_list), key) >= 0)
        return code_word_keyword;
    if (find_sorted(keyfunc_list, count_of(keyfunc_list), key) >= 0)
        return code_word_keyfunc;
    if (find_sorted(keyprep_list, count_of(keyprep_list), key) >= 0)
        return code_word_keyprep;
    return code_word_none;
}
