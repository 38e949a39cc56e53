#include "http/text_escape.h"

#include <cstring>

namespace {

// The entity that replaces byte c under set, or null when c stays.
const char* entity_for(unsigned char c, uint32_t set, uint64_t* length)
{
    if (set & escape_markup) {
        switch (c) {
        case '&': *length = 5; return "&amp;";
        case '<': *length = 4; return "&lt;";
        case '>': *length = 4; return "&gt;";
        default: break;
        }
    }
    if ((set & escape_double_quote) && c == '"') {
        *length = 6;
        return "&quot;";
    }
    if ((set & escape_single_quote) && c == '\'') {
        *length = 5;
        return "&#39;";
    }
    return nullptr;
}

bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool needs_percent(unsigned char c, percent_set set)
{
    if (set == percent_segment) return !is_unreserved(c);
    if (c <= 0x20 || c >= 0x7F) return true;
    switch (c) {
    case '"': case '\'': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
        return true;
    default:
        return false;
    }
}

} // namespace

uint64_t html_escaped_length(const char* text, uint64_t length, uint32_t set)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < length; ++i) {
        uint64_t entity_length = 1;
        entity_for((unsigned char)text[i], set, &entity_length);
        total += entity_length;
    }
    return total;
}

int64_t html_escape(char* out, uint64_t room, const char* text, uint64_t length, uint32_t set)
{
    if (html_escaped_length(text, length, set) > room) return -1;
    char* p = out;
    for (uint64_t i = 0; i < length; ++i) {
        uint64_t entity_length = 0;
        const char* entity = entity_for((unsigned char)text[i], set, &entity_length);
        if (entity) {
            std::memcpy(p, entity, entity_length);
            p += entity_length;
        } else {
            *p++ = text[i];
        }
    }
    return p - out;
}

uint64_t percent_encoded_length(const char* text, uint64_t length, percent_set set)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < length; ++i) total += needs_percent((unsigned char)text[i], set) ? 3 : 1;
    return total;
}

int64_t percent_encode(char* out, uint64_t room, const char* text, uint64_t length, percent_set set)
{
    if (percent_encoded_length(text, length, set) > room) return -1;
    static const char hex[] = "0123456789ABCDEF";
    char* p = out;
    for (uint64_t i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (needs_percent(c, set)) {
            *p++ = '%';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 15];
        } else {
            *p++ = (char)c;
        }
    }
    return p - out;
}
