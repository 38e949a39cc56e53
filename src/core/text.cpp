#include "core/text.h"

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Adds up to count continuation bytes to value, six bits each. A byte that is
// not a continuation ends the sequence early and is left for the next lead.
uint32_t gather(const unsigned char** p, uint32_t value, int count)
{
    for (int shift = 6 * (count - 1); shift >= 0; shift -= 6) {
        if (!is_continuation(**p)) break;
        value |= (uint32_t)(**p & 0x3F) << shift;
        ++*p;
    }
    return value;
}

} // namespace

uint64_t utf8_to_utf16(char16_t* out, uint64_t capacity, const char* in)
{
    if (!out || !in || capacity == 0) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    uint64_t written = 0;
    for (;;) {
        unsigned char lead = *p++;
        uint32_t value;
        if (lead == 0) break;
        if (lead < 0x80) {
            value = lead;
        } else if (lead < 0xC0 || lead >= 0xF8) {
            continue;
        } else if (lead < 0xE0) {
            // Overlong forms pass as they come: C0 80 is a NUL unit inside the text.
            value = gather(&p, (uint32_t)(lead & 0x1F) << 6, 1);
        } else {
            if (lead < 0xF0) value = gather(&p, (uint32_t)(lead & 0x0F) << 12, 2);
            else value = gather(&p, (uint32_t)(lead & 0x07) << 18, 3);
            if (value == 0) break;
            if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) continue;
            if (value >= 0x10000) {
                if (capacity - written < 2) {
                    out[written] = 0;
                    return 0;
                }
                value -= 0x10000;
                out[written++] = (char16_t)(0xD800 + (value >> 10));
                value = 0xDC00 + (value & 0x3FF);
            }
        }
        out[written++] = (char16_t)value;
        if (written == capacity) {
            out[written - 1] = 0;
            return 0;
        }
    }
    out[written] = 0;
    return written;
}

uint64_t utf16_to_utf8(char* out, uint64_t capacity, const char16_t* in)
{
    if (!out || !in || capacity == 0) return 0;
    uint64_t written = 0;
    for (;;) {
        uint32_t unit = *in++;
        if (unit == 0) break;
        unsigned char bytes[4];
        uint64_t length;
        if (unit < 0x80) {
            bytes[0] = (unsigned char)unit;
            length = 1;
        } else if (unit < 0x800) {
            bytes[0] = (unsigned char)(0xC0 | (unit >> 6));
            bytes[1] = (unsigned char)(0x80 | (unit & 0x3F));
            length = 2;
        } else if (unit < 0xD800 || unit > 0xDFFF) {
            bytes[0] = (unsigned char)(0xE0 | (unit >> 12));
            bytes[1] = (unsigned char)(0x80 | ((unit >> 6) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | (unit & 0x3F));
            length = 3;
        } else if (unit >= 0xDC00) {
            continue;
        } else {
            uint32_t next = *in;
            if (next == 0) break;
            uint32_t code = 0x10000 + ((unit & 0x3FF) << 10);
            // A high surrogate without its low half still stands for a character.
            if (next >= 0xDC00 && next <= 0xDFFF) {
                code += next & 0x3FF;
                ++in;
            }
            bytes[0] = (unsigned char)(0xF0 | (code >> 18));
            bytes[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
            bytes[3] = (unsigned char)(0x80 | (code & 0x3F));
            length = 4;
        }
        if (capacity - written < length) {
            out[written] = 0;
            return 0;
        }
        for (uint64_t i = 0; i < length; ++i) out[written++] = (char)bytes[i];
        if (written == capacity) {
            out[written - 1] = 0;
            return 0;
        }
    }
    out[written] = 0;
    return written;
}

int64_t find_sorted(const char* const* table, uint64_t count, const char* key)
{
    if (!table) return -1;
    return find_sorted_in(count, key, [table](uint64_t i) { return table[i]; });
}

int64_t find_sorted16(const char16_t* const* table, uint64_t count, const char16_t* key)
{
    if (!table) return -1;
    return find_sorted_in(count, key, [table](uint64_t i) { return table[i]; });
}

int native_file_name(char (&out)[file_name_capacity], const char16_t* name)
{
    out[0] = 0;
    if (!name || !name[0]) return file_error_not_found;
    return utf16_to_utf8(out, sizeof(out), name) == 0 ? file_error_name_too_long : 0;
}
