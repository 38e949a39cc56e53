// File delivery: opens the resolved path (or an index file, or a variant),
// answers 404, 304, 206 and 416 where they apply, and sends the file in
// pieces through the two halves of the slot's send buffer, reading the next
// piece while the sending thread sends the last one.
#include "content/file_delivery.h"

#include <cstring>

#include "assets/builtin_assets.h"
#include "content/file_handle.h"
#include "content/mime_types.h"
#include "content/reader_queue.h"
#include "core/settings.h"
#include "http/canned_pages.h"
#include "http/exchange.h"
#include "net/send_path.h"
#include "pages/markdown.h"
#include "service/console.h"

namespace {

// Files above this many bytes, sent whole, are read unbuffered and one reader
// after another across all connections.
constexpr uint64_t large_file_threshold = 8388608;
// Range reads start at multiples of this; the first piece lands this far
// into the slot buffer so that the header block can be put in front of it.
constexpr uint64_t read_alignment = 65536;
// Unbuffered reads move whole blocks of this many bytes.
constexpr uint64_t direct_block = 4096;
// A header block longer than this is sent alone, not in front of the data.
constexpr uint64_t header_in_front_limit = 32767;
// A slot buffer of at most this many bytes has no room for header and data.
constexpr uint64_t header_in_front_min_buffer = 131072;
// One file request: lives for one serve_file call.
struct file_request {
    file_handle file;         // the open file or the variant that replaced it
    event_t* reader_event;    // the slot's turn in the reader queue
    bool range_requested;     // the request has a "bytes" range
    bool large_mode;          // read unbuffered and through the reader queue
    bool want_br;             // the client accepts br
    bool want_gzip;           // the client accepts gzip
    bool want_webp;           // the client accepts image/webp
    bool info_valid;          // a file was opened and its information read
    bool markdown_index;      // "index.md" was chosen for a directory path
    bool serving_br;          // the ".br" variant is open
    bool serving_gzip;        // the ".gz" variant is open
    bool serving_webp;        // the ".webp" alternative is tried or open
    bool is_directory;        // the path is a directory
    uint64_t remaining;       // bytes still to deliver; every read is clipped to it
    uint64_t write_time;      // FILETIME of the file or variant in use
    uint32_t open_result;     // result of the last open
    resolved_path* resolved;  // the slot's resolved path
    request_record* request;  // the request being answered
};

uint64_t path_units(const resolved_path* r) { return (uint64_t)(r->path_end - r->path_buffer); }

// Room for `extra` more units and the NUL behind the current path.
bool path_has_room(const resolved_path* r, uint64_t extra) { return path_units(r) + extra + 1 <= r->capacity; }

void path_append(resolved_path* r, const char16_t* text)
{
    uint64_t n = 0;
    while (text[n]) {
        r->path_end[n] = text[n];
        ++n;
    }
    r->path_end[n] = 0;
    r->path_end += n;
    r->url_part_length += n;
}

void path_cut(resolved_path* r, char16_t* end)
{
    r->url_part_length -= (uint64_t)(r->path_end - end);
    r->path_end = end;
    *end = 0;
}

bool path_ends_with(const resolved_path* r, const char16_t* suffix, uint64_t n)
{
    if (path_units(r) < n) return false;
    return std::memcmp(r->path_end - n, suffix, n * sizeof(char16_t)) == 0;
}

// The exact lower-case ASCII text `word`, n units, at p.
bool units_equal(const char16_t* p, const char* word, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i)
        if (p[i] != (char16_t)(unsigned char)word[i]) return false;
    return true;
}

// Reads the next piece into buffer; the count clipped to `remaining` (which
// shrinks by it), 0 at the end of the file, -1 on failure.
int64_t read_file_chunk(file_request* fr, char* buffer, uint64_t size)
{
    // Nothing is left to deliver: no read, so a file that is not a regular
    // file (a FIFO) is never read at all.
    if (fr->remaining == 0) return 0;
    uint64_t want = size;
    if (fr->large_mode) {
        // Unbuffered reads move whole blocks; the last one of a file may come back short.
        uint64_t blocks = (fr->remaining + direct_block - 1) / direct_block * direct_block;
        if (blocks < want) want = blocks;
    } else if (fr->remaining < want) {
        want = fr->remaining;
    }
    bool queued = fr->large_mode && reader_queue_enter(&g_reader_queue, fr->reader_event);
    int64_t n = file_handle_read(&fr->file, buffer, want);
    if (queued) reader_queue_leave(&g_reader_queue, fr->reader_event);
    if (n < 0) {
        fr->open_result = fr->file.error;
        console_printf("!!!! ReadFile(%llu) %u [%ls]\n\n", (unsigned long long)size, fr->file.error,
                       fr->resolved->path_buffer);
        return -1;
    }
    if ((uint64_t)n > fr->remaining) n = (int64_t)fr->remaining;
    fr->remaining -= (uint64_t)n;
    return n;
}

// A variant is usable when it is a file whose information could be read and
// which is not older than the primary (or the primary did not open).
bool variant_usable(const file_request* fr, const file_handle* variant, bool variant_info)
{
    if (!variant->is_open || !variant_info || variant->is_directory) return false;
    return !fr->file.is_open || variant->write_time >= fr->file.write_time;
}

// Opens the current path with `suffix` appended into variant; true when it
// is usable. The path is restored either way.
bool try_suffix(file_request* fr, file_handle* variant, const char16_t* suffix, uint32_t hints)
{
    resolved_path* r = fr->resolved;
    char16_t* end = r->path_end;
    path_append(r, suffix);
    file_reset(variant);
    bool info = file_open(variant, r->path_buffer, hints) == 0 && file_read_info(variant) == 0;
    path_cut(r, end);
    return variant_usable(fr, variant, info);
}

void take_variant(file_request* fr, file_handle* variant)
{
    file_move(&fr->file, variant);
    fr->remaining = fr->file.size;
    fr->write_time = fr->file.write_time;
    fr->info_valid = true;
    fr->is_directory = false;
}

// «app.js» → «app.min.js» for style sheets, pages and scripts; «photo.jpg» →
// «photo.jpg.webp» for pictures when the client takes WebP.
void try_alternatives(file_request* fr, file_handle* variant, uint32_t hints)
{
    resolved_path* r = fr->resolved;
    if (r->url_part_length <= 4 || path_units(r) < 5) return;
    char16_t* dot = nullptr;
    for (uint64_t back = 3; back <= 5 && !dot; ++back) {
        char16_t* p = r->path_end - back;
        if (p < r->url_part) break;
        if (*p == u'.') dot = p;
    }
    if (!dot) return;
    if (dot - r->url_part >= 4 && units_equal(dot - 4, ".min", 4)) return;
    const char16_t* ext = dot + 1;
    uint64_t ext_length = (uint64_t)(r->path_end - ext);
    bool minifiable = (ext_length == 3 && (units_equal(ext, "css", 3) || units_equal(ext, "htm", 3))) ||
                      (ext_length == 4 && units_equal(ext, "html", 4)) ||
                      (ext_length == 2 && units_equal(ext, "js", 2));
    if (minifiable) {
        if (!path_has_room(r, 4)) return;
        char16_t* end = r->path_end;
        // Shift the extension and its NUL right to make room for ".min".
        std::memmove(dot + 4, dot, (ext_length + 2) * sizeof(char16_t));
        std::memcpy(dot, u".min", 4 * sizeof(char16_t));
        r->path_end += 4;
        r->url_part_length += 4;
        file_reset(variant);
        bool info = file_open(variant, r->path_buffer, hints) == 0 && file_read_info(variant) == 0;
        std::memmove(dot, dot + 4, (ext_length + 2) * sizeof(char16_t));
        r->path_end = end;
        r->url_part_length -= 4;
        if (variant_usable(fr, variant, info)) take_variant(fr, variant);
        return;
    }
    bool picture = (ext_length == 3 && (units_equal(ext, "gif", 3) || units_equal(ext, "jpg", 3) ||
                                        units_equal(ext, "png", 3))) ||
                   (ext_length == 4 && units_equal(ext, "jpeg", 4));
    if (!picture || !fr->want_webp || !path_has_room(r, 5)) return;
    int32_t type = r->type;
    fr->serving_webp = true;
    r->type = mime_image_webp;
    if (try_suffix(fr, variant, u".webp", hints)) {
        take_variant(fr, variant);
        return;
    }
    r->type = type;
    fr->serving_webp = false;
}

// Opens the current path and, with variants on, prefers a pre-compressed,
// minified or WebP file. The error number of the primary open.
int open_with_variants(file_request* fr, uint32_t hints)
{
    resolved_path* r = fr->resolved;
    int result = file_open(&fr->file, r->path_buffer, hints);
    fr->open_result = (uint32_t)result;
    if (result == 0) {
        fr->info_valid = file_read_info(&fr->file) == 0;
        fr->remaining = fr->file.size;
        fr->write_time = fr->file.write_time;
        fr->is_directory = fr->file.is_directory;
    }
    if (!g_min_gz.load() || fr->is_directory) return result;

    file_handle variant{};
    file_reset(&variant);
    if ((fr->want_br || fr->want_gzip) && path_has_room(r, 3) && r->url_part_length > 3 &&
        !path_ends_with(r, u".br", 3) && !path_ends_with(r, u".gz", 3)) {
        if (fr->want_br && try_suffix(fr, &variant, u".br", hints)) {
            take_variant(fr, &variant);
            fr->serving_br = true;
        } else if (fr->want_gzip && try_suffix(fr, &variant, u".gz", hints)) {
            take_variant(fr, &variant);
            fr->serving_gzip = true;
        }
    }
    if (!fr->serving_br && !fr->serving_gzip) try_alternatives(fr, &variant, hints);
    file_reset(&variant);
    return result;
}

// Forgets what an open found, so that the path can be opened afresh.
void forget_open(file_request* fr, int32_t type)
{
    file_reset(&fr->file);
    fr->info_valid = false;
    fr->serving_br = false;
    fr->serving_gzip = false;
    fr->serving_webp = false;
    fr->is_directory = false;
    fr->remaining = 0;
    fr->write_time = 0;
    fr->resolved->type = type;
}

enum candidate { candidate_none, candidate_htm, candidate_html, candidate_md, candidate_directory };

// Opens the path, trying "index.htm", "index.html", "index.md" (with view_md)
// and then the directory itself for a path ending in "/"; whole files above
// 8 MiB are opened again for unbuffered reading.
void open_target_file(file_request* fr)
{
    resolved_path* r = fr->resolved;
    char16_t* directory_end = r->path_end;
    candidate next = candidate_none;
    if (path_units(r) != 0 && r->path_end[-1] == u'/' && path_has_room(r, 9)) {
        path_append(r, u"index.htm");
        next = candidate_htm;
    }
    const int32_t type = r->type;
    uint32_t hints = fr->range_requested ? file_hint_random : file_hint_none;
    for (;;) {
        open_with_variants(fr, hints);
        if (fr->file.is_open) {
            if (fr->is_directory || fr->range_requested || fr->large_mode ||
                fr->remaining <= large_file_threshold) {
                if (fr->markdown_index) {
                    fr->request->query_view = true;
                    r->type = mime_text_markdown;
                }
                return;
            }
            forget_open(fr, type);
            fr->large_mode = true;
            hints = file_hint_unbuffered | file_hint_sequential;
            continue;
        }
        forget_open(fr, type);
        fr->markdown_index = false;
        if (next == candidate_htm && path_has_room(r, 1)) {
            path_append(r, u"l");
            next = candidate_html;
        } else if ((next == candidate_htm || next == candidate_html) && g_view_md.load()) {
            path_cut(r, directory_end);
            path_append(r, u"index.md");
            fr->markdown_index = true;
            // index.md is rendered from its own bytes: no compressed variant.
            fr->want_br = false;
            fr->want_gzip = false;
            next = candidate_md;
        } else if (next != candidate_none && next != candidate_directory) {
            path_cut(r, directory_end);
            fr->is_directory = true;
            next = candidate_directory;
        } else {
            return;
        }
    }
}

// Sends the HTML "404 Not Found" page.
bool send_not_found(response_record* response, request_record* request)
{
    uint64_t n = send_error_page(response, response->channel->slot_buffer, response->channel->slot_buffer_size, status_not_found,
                                 request->keep_alive, request->method == method_head, false);
    if (n == 0) {
        // Nothing can be sent; a client kept waiting for an answer must see the close.
        request->keep_alive = false;
        return true;
    }
    return send_packet(response, response->channel->slot_buffer, n, request);
}

// The HTML "500 Internal Server Error" after a failed read; the connection ends.
bool send_read_failure(response_record* response, request_record* request)
{
    request->keep_alive = false;
    uint64_t n = send_error_page(response, response->channel->slot_buffer, response->channel->slot_buffer_size,
                                 status_internal_error, false, request->method == method_head, false);
    if (n == 0) return true;
    return send_packet(response, response->channel->slot_buffer, n, request);
}

// True when If-Modified-Since begins with the file's date as this server
// writes it. The value is compared byte by byte and never read past its NUL,
// so a shorter value cannot match.
bool not_modified(const request_record* request, uint64_t write_time)
{
    if (!request->if_modified_since) return false;
    civil_time utc;
    filetime_to_utc(write_time, &utc);
    char date[http_date_capacity];
    uint64_t length = format_http_date(&utc, date, sizeof(date));
    if (length == 0) return false;
    const char* value = request->if_modified_since;
    for (uint64_t i = 0; i < length; ++i) {
        char c = date[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (value[i] != c) return false;
    }
    return true;
}

// A Markdown file asked for with "?view" that fits the view is rendered.
bool markdown_view(const http_exchange* exchange, const file_request* fr)
{
    return exchange->request.query_view && fr->resolved->type == mime_text_markdown && g_view_md.load() &&
           markdown_fits(fr->remaining, exchange->response.channel->slot_buffer_size);
}

// Reads the whole file into the end of the slot buffer, four zero bytes
// behind it, and renders it; false when the connection must end.
bool send_markdown_view(http_exchange* exchange, file_request* fr)
{
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    const uint64_t size = fr->remaining;
    char* text = response->channel->slot_buffer + response->channel->slot_buffer_size - 4 - size;
    uint64_t length = 0;
    while (fr->remaining != 0) {
        int64_t n = read_file_chunk(fr, text + length, size - length);
        if (n < 0) return send_read_failure(response, request);
        // A file that shrank since it was opened is rendered as far as it goes.
        if (n == 0) break;
        length += (uint64_t)n;
    }
    std::memset(text + length, 0, 4);
    return render_markdown(exchange, text, length);
}

// Sends an ordinary file, whole or as a single range; false when a send failed.
bool send_file_body(http_exchange* exchange, file_request* fr)
{
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    const uint64_t size = fr->remaining;
    int32_t status = status_ok;
    byte_range range{request->range_first, request->range_last};
    // A file of no bytes has no position to name: the range is not applied,
    // instead of a range whose last position would wrap to all ones.
    if (fr->range_requested && size == 0) fr->range_requested = false;
    if (fr->range_requested) {
        if (range.last == 0) range.last = size - 1;
        status = status_partial_content;
        if (range.first >= size) {
            range.first = 0;
            status = status_range_not_satisfiable;
        }
        if (range.last > size - 1) range.last = size - 1;
        if (range.last < range.first) {
            range.last = size - 1;
            status = status_range_not_satisfiable;
        }
        request->range_first = range.first;
        request->range_last = range.last;
    }

    char* buffer = response->channel->slot_buffer;
    const uint64_t capacity = response->channel->slot_buffer_size;
    uint64_t header_length = 0;
    if (request->version != version_none) {
        int32_t type = fr->resolved->type;
        if (request->query_download) type = mime_application_octet_stream;
        if (not_modified(request, fr->write_time)) status = status_not_modified;
        uint64_t header_room = capacity < read_alignment ? capacity : read_alignment;
        header_length = build_response_headers(response, buffer, header_room, status, type, size,
                                               request->keep_alive, false, &range, &fr->write_time,
                                               nullptr, nullptr, nullptr);
        if (header_length == 0) {
            // Nothing is sent for this answer; the connection must not wait for one.
            request->keep_alive = false;
            return true;
        }
    }
    if (request->method == method_head || status == status_not_modified) {
        if (header_length == 0) return true;
        return send_packet(response, buffer, header_length, request);
    }

    uint64_t skip = 0;
    if (fr->range_requested) {
        uint64_t file_position = range.first / read_alignment * read_alignment;
        fr->file.position = file_position;
        skip = range.first - file_position;
        fr->remaining = range.last - file_position + 1;
    }

    if (header_length > header_in_front_limit || capacity <= header_in_front_min_buffer) {
        if (header_length != 0 && !send_packet(response, buffer, header_length, request)) return false;
    } else {
        int64_t n = read_file_chunk(fr, buffer + read_alignment, capacity - read_alignment);
        if (n < 0) return send_read_failure(response, request);
        if ((uint64_t)n <= skip) {
            // The file shrank since it was opened: the promised length cannot be kept.
            if (fr->remaining != 0) request->keep_alive = false;
            if (header_length == 0) return true;
            return send_packet(response, buffer, header_length, request);
        }
        char* data = buffer + read_alignment + skip;
        std::memcpy(data - header_length, buffer, header_length);
        if (!send_packet(response, data - header_length, header_length + (uint64_t)n - skip, request))
            return false;
        skip = 0;
    }

    while (fr->remaining != 0) {
        buffer = response->channel->slot_buffer;
        int64_t n = read_file_chunk(fr, buffer, capacity);
        if (n <= 0) {
            // A failed read, or a file cut short while it was sent: the body
            // is shorter than announced, so the connection has to end.
            request->keep_alive = false;
            return true;
        }
        if ((uint64_t)n <= skip) {
            skip -= (uint64_t)n;
            continue;
        }
        if (!send_packet(response, buffer + skip, (uint64_t)n - skip, request)) return false;
        skip = 0;
    }
    return true;
}

} // namespace

bool serve_file(http_exchange* exchange)
{
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    file_request fr{};
    file_reset(&fr.file);
    fr.reader_event = &exchange->reader_event;
    fr.range_requested = request->range_unit == 1;
    fr.want_br = request->accepts_br;
    fr.want_gzip = request->accepts_gzip;
    fr.want_webp = request->accepts_webp;
    fr.resolved = &response->resolved;
    fr.request = request;
    response->negotiated = true;
    // "?view" renders the Markdown text itself; a compressed variant of it
    // would be rendered as if it were text.
    if (request->query_view && g_view_md.load() && fr.resolved->type == mime_text_markdown) {
        fr.want_br = false;
        fr.want_gzip = false;
    }

    if (fr.resolved->path_end) open_target_file(&fr);

    bool result;
    if (!fr.file.is_open || !fr.info_valid) {
        // A site without an icon of its own still gets one.
        if (request->path && std::strcmp(request->path, "/favicon.ico") == 0)
            result = serve_asset(response, request, favicon_asset());
        else
            result = send_not_found(response, request);
    } else if (fr.is_directory) {
        // Directory pages are not served yet: every directory answers 404,
        // whether or not list_directories is on.
        result = send_not_found(response, request);
    } else if (fr.resolved->type == mime_access_blocked) {
        result = send_not_found(response, request);
    } else if (markdown_view(exchange, &fr)) {
        result = send_markdown_view(exchange, &fr);
    } else {
        // Only a body that is the variant itself carries its content coding,
        // never a 404 page sent instead of it; a Markdown file too large for
        // the view goes out as it is.
        response->encoding_br = fr.serving_br;
        response->encoding_gzip = fr.serving_gzip;
        result = send_file_body(exchange, &fr);
    }
    file_reset(&fr.file);
    return result;
}
