#include "content/path_resolution.h"

#include <cstring>

#include "content/mime_types.h"
#include "core/text.h"
#include "http/request.h"

namespace {

// A decoded request path has fewer bytes than this, NUL included (hard limit).
constexpr uint64_t decode_scratch_size = 8192;
// The "." of an extension lies among the path's last this many units.
constexpr uint64_t extension_window = 15;
// UTF-8 room for an extension, NUL included: longer ones are never compared.
constexpr uint64_t extension_room = 16;

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_separator(char16_t unit) { return unit == u'/' || unit == u'\\'; }

// Appends length units of text and a NUL at the write position. The text must
// leave room for its NUL, so a piece of count units or more does not fit.
int append_piece(resolved_path* resolved, uint64_t* count, const char16_t* text, uint64_t length)
{
    if (length == 0 || length >= *count) return -1;
    std::memcpy(resolved->url_part, text, length * sizeof(char16_t));
    resolved->url_part[length] = 0;
    resolved->url_part += length;
    resolved->prefix_length += length;
    *count -= length;
    return 0;
}

// A relative target hangs below what stands before it; an absolute one starts
// the prefix afresh (the caller has left out what it replaces).
int append_target(resolved_path* resolved, uint64_t* count, const mapping_entry* entry)
{
    if (*count != 0 && entry->relative) {
        *resolved->url_part++ = u'/';
        ++resolved->prefix_length;
        --*count;
    }
    return append_piece(resolved, count, entry->target, entry->target_length);
}

// The request named a virtual directory without its trailing "/": the path
// becomes segment, "/", and "?" with the query when there is one. The query
// follows the path's NUL, as the parser leaves it, so the move needs only the
// byte behind the query's NUL (or, without a query, the one behind the path's).
void rewrite_for_redirect(request_record* request)
{
    char* path = request->path;
    path[request->path_length] = '/';
    ++request->path_length;
    ++request->target_length;
    if (request->query) {
        std::memmove(request->query + 1, request->query, request->query_length + 1);
        *request->query = '?';
        ++request->query;
    } else {
        path[request->path_length] = 0;
    }
}

// Normalises the URL part of units units in place behind its leading "/".
// The text ends at its first NUL unit as well: an overlong UTF-8 NUL turns
// into one, and whatever follows it would be cut off at the file-system
// boundary, after ".." had already been judged. -1 when the URL part does not
// begin with a separator.
int normalise(resolved_path* resolved, uint64_t units)
{
    char16_t* url = resolved->url_part;
    if (!is_separator(url[0])) return -1;
    url[0] = u'/';
    uint64_t out = 1;
    uint64_t in = 1;
    while (in < units && url[in] != 0) {
        uint64_t start = in;
        while (in < units && url[in] != 0 && !is_separator(url[in])) ++in;
        uint64_t length = in - start;
        bool separated = in < units && url[in] != 0;
        if (separated) ++in;
        if (length == 0 || (length == 1 && url[start] == u'.')) continue;
        if (length == 2 && url[start] == u'.' && url[start + 1] == u'.') {
            // A kept segment followed by another one always carries its "/".
            if (out > 1) {
                --out;
                while (out > 1 && url[out - 1] != u'/') --out;
            }
            continue;
        }
        // out never passes in, so the copy only moves text towards the front.
        std::memmove(url + out, url + start, length * sizeof(char16_t));
        out += length;
        if (separated) url[out++] = u'/';
    }
    url[out] = 0;
    resolved->path_end = url + out;
    resolved->url_part_length = out;
    return 0;
}

} // namespace

int resolve_path(resolved_path* resolved, request_record* request)
{
    resolved->redirect = false;
    resolved->prefix_length = 0;
    resolved->url_part = resolved->path_buffer;
    resolved->path_end = nullptr;
    resolved->url_part_length = 0;
    char16_t* buffer = resolved->path_buffer;
    const uint64_t capacity = resolved->capacity;
    if (!buffer || capacity == 0) return -1;
    buffer[0] = 0;
    if (!request->path) return -1;

    // The Host value is a lookup key only; it never becomes part of the path.
    const mapping_entry* host = nullptr;
    if (g_host_mappings.count > 0 && request->host && request->host[0] != 0 &&
        utf8_to_utf16(buffer, capacity, request->host) > 0) {
        host = find_mapping(&g_host_mappings, buffer);
    }

    const char* source = request->path;
    uint64_t source_length = request->path_length;
    const mapping_entry* vdir = nullptr;
    if (request->path_length > 1 && g_vdir_mappings.count > 0) {
        const char* segment = request->path + 1;
        const uint64_t rest = request->path_length - 1;
        uint64_t length = 0;
        while (length < rest && segment[length] != '/' && segment[length] != 0) ++length;
        if (length > 0 && decode_url_path(buffer, capacity, segment, length, true) > 0)
            vdir = find_mapping(&g_vdir_mappings, buffer);
        if (vdir) {
            if (length == rest) {
                rewrite_for_redirect(request);
                resolved->redirect = true;
                buffer[0] = 0;
                return -1;
            }
            source = segment + length;
            source_length = rest - length;
        }
    }
    buffer[0] = 0;

    uint64_t count = capacity;
    const bool host_absolute = host && !host->relative;
    const bool vdir_absolute = vdir && !vdir->relative;
    if (!host_absolute && !vdir_absolute && append_piece(resolved, &count, g_root, g_root_length) != 0)
        return -1;
    if (host && !vdir_absolute && append_target(resolved, &count, host) != 0) return -1;
    if (vdir && append_target(resolved, &count, vdir) != 0) return -1;

    const uint64_t units = decode_url_path(resolved->url_part, count, source, source_length, true);
    if (units == 0) return -1;
    // Overlong UTF-8 forms ("%c0%ae" for ".", "%c0%af" for "/") have become
    // plain units by now, so they are judged like the characters they stand for.
    if (normalise(resolved, units) != 0) return -1;
    classify_extension(resolved);
    return 0;
}

uint64_t decode_url_path(char16_t* out, uint64_t room, const char* input, uint64_t length, bool decode)
{
    if (!out || room == 0 || !input || length == 0) return 0;
    char scratch[decode_scratch_size];
    uint64_t written = 0;
    for (uint64_t i = 0; i < length && input[i] != 0; ++i) {
        char c = input[i];
        if (decode && c == '%' && length - i > 2) {
            // The second digit is read only behind a first one, so a NUL
            // right after "%" ends the scan there.
            int high = hex_value(input[i + 1]);
            int low = high < 0 ? -1 : hex_value(input[i + 2]);
            if (low >= 0) {
                int byte = high * 16 + low;
                if (byte == 0) break;
                // 0xFF is never produced: "%ff" stays as its three characters.
                if (byte != 0xFF) {
                    c = (char)byte;
                    i += 2;
                }
            }
        }
        scratch[written++] = c;
        if (written == decode_scratch_size - 1) return 0;
    }
    if (written == 0) return 0;
    scratch[written] = 0;
    return utf8_to_utf16(out, room, scratch);
}

void classify_extension(resolved_path* resolved)
{
    resolved->type = mime_application_octet_stream;
    const char16_t* begin = resolved->url_part;
    const char16_t* end = resolved->path_end;
    if (!begin || !end || end < begin) return;
    if (end > begin && end[-1] == u'/') {
        resolved->type = mime_text_html;
        return;
    }

    const char16_t* window = (uint64_t)(end - begin) > extension_window ? end - extension_window : begin;
    const char16_t* dot = nullptr;
    for (const char16_t* p = end; p > window && !dot;) {
        if (*--p == u'.') dot = p;
    }
    if (!dot) {
        if (g_ext_filter.block_no_ext) resolved->type = mime_access_blocked;
        return;
    }

    // The extension (at most 14 units) is copied out first, so the conversion
    // never depends on what lies at path_end.
    char16_t wide[extension_window];
    const uint64_t units = (uint64_t)(end - dot - 1);
    std::memcpy(wide, dot + 1, units * sizeof(char16_t));
    wide[units] = 0;
    char extension[extension_room];
    const bool fits = utf16_to_utf8(extension, sizeof extension, wide) > 0 || units == 0;
    for (char* p = extension; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = (char)(*p + ('a' - 'A'));
    }

    const extension_filter& filter = g_ext_filter;
    if (filter.count > 0 && filter.words) {
        // An extension too long to compare is unknown: an allow list refuses it.
        if (!fits) {
            if (!filter.ext_mode) resolved->type = mime_access_blocked;
            return;
        }
        const bool found = find_sorted(filter.words, filter.count, extension) >= 0;
        if (found == filter.ext_mode) {
            resolved->type = mime_access_blocked;
            return;
        }
    }
    if (fits) resolved->type = extension_type(extension);
}

const mapping_entry* find_mapping(const mapping_list* list, const char16_t* key)
{
    if (!list || !list->entries || list->count == 0 || !key) return nullptr;
    const mapping_entry* entries = list->entries;
    int64_t i = find_sorted_in(list->count, key, [entries](uint64_t k) { return entries[k].name; });
    return i < 0 ? nullptr : &entries[i];
}

int copy_bounded(void* destination, uint64_t room, const void* source, uint64_t count)
{
    if (count == 0) return 0;
    if (!destination || !source) return 22;
    if (room < count) {
        std::memset(destination, 0, room);
        return 34;
    }
    std::memmove(destination, source, count);
    return 0;
}
