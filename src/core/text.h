// Text helpers: the only converters between UTF-8 and UTF-16, and the search
// over sorted string tables. They never allocate and never fail on malformed
// input; they fail only when the output does not fit.
#pragma once
#include <cstdint>
#include <type_traits>

#include "os/file.h"

// Converts NUL-terminated UTF-8 into at most capacity UTF-16 units, NUL
// included. Returns the units written before the NUL; 0 on failure or for
// empty input.
uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* in);
// Converts NUL-terminated UTF-16 into at most capacity bytes, NUL included.
// Returns the bytes written before the NUL; 0 on failure or for empty input.
uint64_t utf16_to_utf8(char* out, uint64_t capacity, const char16_t* in);

// The UTF-8 form of a file-system name for the OS layer, in a buffer of
// file_name_capacity bytes. 0, or file_error_not_found for an empty name and
// file_error_name_too_long for one that does not fit.
int native_file_name(char (&out)[file_name_capacity], const char16_t* name);

// The order of every sorted table: units (bytes or UTF-16 units) compared as
// unsigned numbers, the first difference decides, equal through the NUL means
// equal. Negative, 0 or positive; usable at compile time for sort checks.
template <typename unit>
constexpr int compare_units(const unit* a, const unit* b)
{
    for (;; ++a, ++b) {
        auto x = (std::make_unsigned_t<unit>)*a;
        auto y = (std::make_unsigned_t<unit>)*b;
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// The bisection of the sorted tables over count (at least 1) entries, where
// name(i) is entry i's text: the index of the entry equal to key, or -1.
template <typename unit, typename name_of>
int64_t find_sorted_in(uint64_t count, const unit* key, name_of name)
{
    if (!key || count == 0) return -1;
    uint64_t low = 0;
    uint64_t n = count;
    uint64_t middle = n / 2;
    for (;;) {
        int order = compare_units(key, name(middle));
        if (order == 0) return (int64_t)middle;
        if (middle == low) return -1;
        if (order > 0) {
            n -= middle + 1 - low;
            low = middle + 1;
            if (low >= count) return -1;
        } else {
            n = middle - low;
        }
        middle = low + n / 2;
    }
}

// Index of key in a table of count (at least 1) strings sorted byte-wise as
// unsigned bytes, or -1.
int64_t find_sorted(const char* const* table, uint64_t count, const char* key);
// The same over UTF-16 strings, comparing units as unsigned numbers.
int64_t find_sorted16(const char16_t* const* table, uint64_t count, const char16_t* key);
