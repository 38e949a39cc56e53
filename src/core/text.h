// Text helpers: the only converters between UTF-8 and UTF-16, and the search
// over sorted string tables. They never allocate and never fail on malformed
// input; they fail only when the output does not fit.
#pragma once
#include <cstdint>

// Converts NUL-terminated UTF-8 into at most capacity UTF-16 units, NUL
// included. Returns the units written before the NUL; 0 on failure or for
// empty input.
uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* in);
// Converts NUL-terminated UTF-16 into at most capacity bytes, NUL included.
// Returns the bytes written before the NUL; 0 on failure or for empty input.
uint64_t utf16_to_utf8(char* out, uint64_t capacity, const char16_t* in);

// Index of key in a table of count (at least 1) strings sorted byte-wise as
// unsigned bytes, or -1.
int64_t find_sorted(const char* const* table, uint64_t count, const char* key);
// The same over UTF-16 strings, comparing units as unsigned numbers.
int64_t find_sorted16(const char16_t* const* table, uint64_t count, const char16_t* key);
