// Escaping of text that the server copies from requests, file names or
// documents into generated URLs and HTML. Every writer is bounded by its room
// and never writes a partial escape.
#pragma once
#include <cstdint>

// Characters html_escape replaces; combine with |.
enum : uint32_t {
    escape_markup = 1,       // & < >  as &amp; &lt; &gt;
    escape_double_quote = 2, // "      as &quot;
    escape_single_quote = 4, // '      as &#39;
    escape_all = 7,
};

// Which bytes percent_encode encodes.
enum percent_set : uint32_t {
    // A redirect target: control bytes, space, " ' < > \ ^ ` { | } and every
    // byte from 0x80 on; "%" and the URL delimiters stay as they are.
    percent_redirect = 0,
    // One path segment (a file name): everything but ASCII letters, digits
    // and - . _ ~
    percent_segment = 1,
};

// Bytes html_escape writes for text (length bytes) under set. Any thread.
uint64_t html_escaped_length(const char* text, uint64_t length, uint32_t set);
// Writes text with the characters of set replaced by their entities. Returns
// the bytes written, or -1 (nothing written) when they exceed room. Any thread.
int64_t html_escape(char* out, uint64_t room, const char* text, uint64_t length, uint32_t set);

// Bytes percent_encode writes for text under set. Any thread.
uint64_t percent_encoded_length(const char* text, uint64_t length, percent_set set);
// Writes text with the bytes of set as "%XX" (upper-case hex digits). Returns
// the bytes written, or -1 (nothing written) when they exceed room. Any thread.
int64_t percent_encode(char* out, uint64_t room, const char* text, uint64_t length, percent_set set);
