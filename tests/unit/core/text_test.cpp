#include "core/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char16_t guard16 = 0xBEEF;
constexpr char guard8 = '\x5A';

struct to16_case {
    const char* name;
    std::string input;             // UTF-8 bytes, without the terminating NUL
    uint64_t capacity;             // units
    uint64_t expected;             // return value
    std::u16string output;         // units before the first NUL written last
};

class utf8_to_utf16_cases : public ::testing::TestWithParam<to16_case> {};

TEST_P(utf8_to_utf16_cases, converts)
{
    const to16_case& c = GetParam();
    std::vector<char16_t> out(c.capacity + 4, guard16);
    uint64_t n = utf8_to_utf16(out.data(), c.capacity, c.input.c_str());
    EXPECT_EQ(n, c.expected);
    // The output is NUL-terminated inside the capacity and nothing lies beyond it.
    auto nul = std::find(out.begin(), out.begin() + c.capacity, u'\0');
    ASSERT_NE(nul, out.begin() + c.capacity);
    std::u16string written(out.begin(), out.begin() + (c.output.size()));
    EXPECT_EQ(written, c.output);
    EXPECT_EQ(out[c.output.size()], 0);
    for (uint64_t i = c.capacity; i < out.size(); ++i) EXPECT_EQ(out[i], guard16);
}

INSTANTIATE_TEST_SUITE_P(
    text, utf8_to_utf16_cases,
    ::testing::Values(
        to16_case{"fits", "abc", 4, 3, u"abc"},
        to16_case{"no_room_for_nul", "abc", 3, 0, u"ab"},
        to16_case{"capacity_one", "a", 1, 0, u""},
        to16_case{"empty", "", 1, 0, u""},
        to16_case{"two_byte_then_ascii", "\xC3" "A", 8, 2, u"\u00C0A"},
        to16_case{"two_byte_at_end", "a\xC3", 8, 2, u"a\u00C0"},
        to16_case{"lone_continuation_dropped", "\x80" "a\xBF", 8, 1, u"a"},
        to16_case{"four_byte_pair", "\xF0\x9F\x98\x80", 8, 2, u"\xD83D\xDE00"},
        to16_case{"encoded_surrogate_dropped", "a\xED\xA0\x80" "b", 8, 2, u"ab"},
        to16_case{"beyond_unicode_dropped", "a\xF4\x90\x80\x80\xF7\xBF\xBF\xBF" "b", 8, 2, u"ab"},
        to16_case{"f8_to_ff_skipped", "\xF8\xFB\xFF" "a", 8, 1, u"a"},
        to16_case{"euro", "\xE2\x82\xAC", 2, 1, u"\u20AC"},
        to16_case{"three_byte_cut_short", "\xE2\x82" "A", 8, 2, u"\u2080A"},
        to16_case{"pair_without_room", "a\xF0\x9F\x98\x80", 2, 0, u"a"},
        to16_case{"pair_without_room_for_nul", "a\xF0\x9F\x98\x80", 3, 0, u"a\xD83D"},
        to16_case{"pair_fits", "a\xF0\x9F\x98\x80", 4, 3, u"a\xD83D\xDE00"},
        to16_case{"max_code_point", "\xF4\x8F\xBF\xBF", 4, 2, u"\xDBFF\xDFFF"}));

// Cases whose output holds a NUL unit in the middle or ends early.
TEST(utf8_to_utf16, overlong_nul_does_not_end_the_text)
{
    char16_t out[8];
    EXPECT_EQ(utf8_to_utf16(out, 8, "a\xC0\x80" "b"), 3u);
    EXPECT_EQ(out[0], u'a');
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], u'b');
    EXPECT_EQ(out[3], 0);
}

TEST(utf8_to_utf16, three_and_four_byte_zero_values_end_the_text)
{
    char16_t out[8];
    EXPECT_EQ(utf8_to_utf16(out, 8, "a\xE0\x80\x80" "b"), 1u);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(utf8_to_utf16(out, 8, "ab\xF0\x80\x80\x80" "c"), 2u);
    EXPECT_EQ(out[2], 0);
}

TEST(utf8_to_utf16, refuses_missing_buffers_without_writing)
{
    char16_t out[2] = {guard16, guard16};
    EXPECT_EQ(utf8_to_utf16(nullptr, 2, "a"), 0u);
    EXPECT_EQ(utf8_to_utf16(out, 2, nullptr), 0u);
    EXPECT_EQ(utf8_to_utf16(out, 0, "a"), 0u);
    EXPECT_EQ(out[0], guard16);
}

struct to8_case {
    const char* name;
    std::u16string input;
    uint64_t capacity;             // bytes
    uint64_t expected;
    std::string output;            // bytes before the NUL written last
};

class utf16_to_utf8_cases : public ::testing::TestWithParam<to8_case> {};

TEST_P(utf16_to_utf8_cases, converts)
{
    const to8_case& c = GetParam();
    std::vector<char> out(c.capacity + 4, guard8);
    uint64_t n = utf16_to_utf8(out.data(), c.capacity, c.input.c_str());
    EXPECT_EQ(n, c.expected);
    std::string written(out.begin(), out.begin() + c.output.size());
    EXPECT_EQ(written, c.output);
    EXPECT_EQ(out[c.output.size()], 0);
    for (uint64_t i = c.capacity; i < out.size(); ++i) EXPECT_EQ(out[i], guard8);
}

INSTANTIATE_TEST_SUITE_P(
    text, utf16_to_utf8_cases,
    ::testing::Values(
        to8_case{"fits", u"abc", 4, 3, "abc"},
        to8_case{"no_room_for_nul", u"abc", 3, 0, "ab"},
        to8_case{"empty", u"", 1, 0, ""},
        to8_case{"two_bytes", u"\u00E9\u07FF", 8, 4, "\xC3\xA9\xDF\xBF"},
        to8_case{"three_bytes", u"\u0800\uFFFF", 8, 6, "\xE0\xA0\x80\xEF\xBF\xBF"},
        to8_case{"euro", u"\u20AC", 4, 3, "\xE2\x82\xAC"},
        // The sequence fits but its NUL does not: its last byte gives way.
        to8_case{"euro_without_room_for_nul", u"\u20AC", 3, 0, "\xE2\x82"},
        to8_case{"euro_does_not_fit", u"a\u20AC", 3, 0, "a"},
        to8_case{"pair", u"\xD83D\xDE00", 5, 4, "\xF0\x9F\x98\x80"},
        to8_case{"pair_does_not_fit", u"\xD83D\xDE00", 4, 0, "\xF0\x9F\x98"},
        to8_case{"high_then_ascii", u"\xD83D" u"A", 8, 5, "\xF0\x9F\x90\x80" "A"},
        to8_case{"high_then_high", u"\xD83D\xD83D\xDE00", 16, 8, "\xF0\x9F\x90\x80\xF0\x9F\x98\x80"},
        to8_case{"lone_low_dropped", u"a\xDC00" u"b", 8, 2, "ab"},
        to8_case{"high_at_end", u"ab\xDBFF", 8, 2, "ab"}));

TEST(utf16_to_utf8, refuses_missing_buffers_without_writing)
{
    char out[2] = {guard8, guard8};
    EXPECT_EQ(utf16_to_utf8(nullptr, 2, u"a"), 0u);
    EXPECT_EQ(utf16_to_utf8(out, 2, nullptr), 0u);
    EXPECT_EQ(utf16_to_utf8(out, 0, u"a"), 0u);
    EXPECT_EQ(out[0], guard8);
}

TEST(text, valid_text_round_trips)
{
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::u16string text;
        int length = (int)(random() % 40);
        for (int i = 0; i < length; ++i) {
            uint32_t c;
            do c = 1 + random() % 0x10FFFF; while (c >= 0xD800 && c <= 0xDFFF);
            if (c >= 0x10000) {
                text += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
                text += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                text += (char16_t)c;
            }
        }
        std::vector<char> utf8(text.size() * 3 + 1);
        uint64_t bytes = utf16_to_utf8(utf8.data(), utf8.size(), text.c_str());
        ASSERT_EQ(bytes == 0, text.empty());
        std::vector<char16_t> back(text.size() + 1);
        uint64_t units = utf8_to_utf16(back.data(), back.size(), utf8.data());
        ASSERT_EQ(std::u16string(back.data(), units), text);
    }
}

// Garbage of every kind, into every small capacity: the result always stays
// inside the buffer and is NUL-terminated.
TEST(text, garbage_stays_inside_the_buffer)
{
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        std::u16string units;
        int length = (int)(random() % 24);
        for (int i = 0; i < length; ++i) {
            bytes += (char)(1 + random() % 255);
            units += (char16_t)(1 + random() % 0xFFFF);
        }
        uint64_t capacity = 1 + random() % 32;
        std::vector<char16_t> out16(capacity + 2, guard16);
        uint64_t n = utf8_to_utf16(out16.data(), capacity, bytes.c_str());
        ASSERT_LT(n, capacity);
        ASSERT_NE(std::find(out16.begin(), out16.begin() + capacity, u'\0'), out16.begin() + capacity);
        ASSERT_EQ(out16[capacity], guard16);
        std::vector<char> out8(capacity + 2, guard8);
        n = utf16_to_utf8(out8.data(), capacity, units.c_str());
        ASSERT_LT(n, capacity);
        ASSERT_NE(std::find(out8.begin(), out8.begin() + capacity, '\0'), out8.begin() + capacity);
        if (n > 0) {
            ASSERT_EQ(out8[n], 0);
        }
        ASSERT_EQ(out8[capacity], guard8);
    }
}

TEST(find_sorted, finds_entries_and_misses)
{
    const char* table[] = {"a", "b", "c"};
    EXPECT_EQ(find_sorted(table, 3, "a"), 0);
    EXPECT_EQ(find_sorted(table, 3, "b"), 1);
    EXPECT_EQ(find_sorted(table, 3, "c"), 2);
    EXPECT_EQ(find_sorted(table, 3, "bb"), -1);
    EXPECT_EQ(find_sorted(table, 3, "d"), -1);
    EXPECT_EQ(find_sorted(table, 3, ""), -1);
    EXPECT_EQ(find_sorted(table, 3, "A"), -1);
}

TEST(find_sorted, compares_bytes_as_unsigned)
{
    const char* table[] = {"a", "z", "\xC3\xA9"};
    EXPECT_EQ(find_sorted(table, 3, "\xC3\xA9"), 2);
    EXPECT_EQ(find_sorted(table, 3, "z"), 1);
    const char16_t* sorted16[] = {u"a", u"z", u"\xD83D\xDE00", u"\uFF21"};
    EXPECT_EQ(find_sorted16(sorted16, 4, u"\xD83D\xDE00"), 2);
    EXPECT_EQ(find_sorted16(sorted16, 4, u"\uFF21"), 3);
}

// Every table size: every entry is found at its index, and every key that
// falls between, before or after the entries is missed.
TEST(find_sorted, every_size_and_every_gap)
{
    std::vector<std::string> words;
    for (int i = 0; i < 40; ++i) words.push_back(std::string(1, (char)('b' + i * 2)));
    std::vector<std::u16string> words16;
    for (const std::string& w : words) words16.push_back(std::u16string(1, (char16_t)(unsigned char)w[0]));
    for (uint64_t count = 1; count <= words.size(); ++count) {
        std::vector<const char*> table;
        std::vector<const char16_t*> table16;
        for (uint64_t i = 0; i < count; ++i) {
            table.push_back(words[i].c_str());
            table16.push_back(words16[i].c_str());
        }
        for (uint64_t i = 0; i < count; ++i) {
            EXPECT_EQ(find_sorted(table.data(), count, table[i]), (int64_t)i) << count;
            EXPECT_EQ(find_sorted16(table16.data(), count, table16[i]), (int64_t)i) << count;
            char gap[2] = {(char)(words[i][0] - 1), 0};
            char16_t gap16[2] = {(char16_t)(unsigned char)gap[0], 0};
            EXPECT_EQ(find_sorted(table.data(), count, gap), -1) << count;
            EXPECT_EQ(find_sorted16(table16.data(), count, gap16), -1) << count;
        }
        char after[2] = {(char)(words[count - 1][0] + 1), 0};
        EXPECT_EQ(find_sorted(table.data(), count, after), -1) << count;
    }
}

} // namespace
