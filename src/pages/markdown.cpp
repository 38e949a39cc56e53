// The Markdown view's frame: the text preparation (byte-order marks, UTF-16,
// line ends), the page head and the hand-over to the block loop, and the entry
// point that file delivery calls for a slot.
#include "pages/markdown.h"

#include <bit>
#include <cstring>

#include "core/text.h"
#include "http/exchange.h"
#include "http/request.h"
#include "http/response.h"
#include "http/text_escape.h"
#include "pages/markdown_state.h"
#include "pages/page_output.h"

namespace {

// UTF-16 text is read as the machine's own units.
static_assert(std::endian::native == std::endian::little, "UTF-16 LE is the machine's order");

// A file name of more bytes than this in UTF-8 gets an empty title.
constexpr uint64_t title_capacity = 1024;

constexpr char head_start[] = "<!DOCTYPE html><html><head>";
constexpr char head_debug[] = "<script type=\"text/javascript\" src=\"/quillnest/lib-debug.js\"></script>";
constexpr char head_rest[] =
    "<link href=\"/quillnest/theme.css\" rel=\"stylesheet\" type=\"text/css\" />"
    "<meta name=\"viewport\" content=\"width=576, initial-scale=1.0, minimum-scale=1.0, "
    "maximum-scale=1.0, user-scalable=0\" />"
    "<meta name=\"format-detection\" content=\"date=no\" />"
    "<meta name=\"format-detection\" content=\"telephone=no\" />"
    "<title>";
constexpr char head_end[] = "</title></head><body class=\"qn_md\"><md>";

// Converts the UTF-16 text at t (length bytes, ending before zero bytes) to
// UTF-8 written from body, and sets its length. Returns body.
char* from_utf16(char* body, char* end, unsigned char* t, uint64_t length, bool big_endian,
                 uint64_t* out_length)
{
    // An odd last byte pairs with the zero byte behind it.
    const uint64_t units = (length + 1) / 2;
    if (big_endian) {
        for (uint64_t i = 0; i < units; ++i) {
            if (t[2 * i] == 0 && t[2 * i + 1] == 0) break;
            unsigned char b = t[2 * i];
            t[2 * i] = t[2 * i + 1];
            t[2 * i + 1] = b;
        }
    }
    if (((uintptr_t)t & 1) != 0) {
        std::memmove(t - 1, t, 2 * units);
        --t;
    }
    t[2 * units] = 0;
    t[2 * units + 1] = 0;
    char16_t* u = reinterpret_cast<char16_t*>(t);

    // The conversion runs forward over the units and writes in front of
    // them: up to 3 bytes for a unit, 4 for a surrogate pair and 4 for a
    // high surrogate alone. Text whose UTF-8 would overtake the units not yet
    // read, or leave the page less than its room, is cut before that unit.
    const uint64_t ahead = (uint64_t)((char*)t - body);
    const uint64_t most = (uint64_t)(end - body) - md_work_room - md_keep_behind - md_chunk_tail - 1;
    uint64_t k = 0;
    uint64_t bytes = 0;
    while (k < units && u[k] != 0) {
        const uint32_t unit = u[k];
        uint64_t take = 1;
        uint64_t more = 3;
        if (unit < 0x80) {
            more = 1;
        } else if (unit < 0x800) {
            more = 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            more = 0;
        } else if (unit >= 0xD800 && unit < 0xDC00) {
            more = 4;
            if (u[k + 1] >= 0xDC00 && u[k + 1] <= 0xDFFF) take = 2;
        }
        if (bytes + more > ahead + 2 * k || bytes + more > most) break;
        bytes += more;
        k += take;
    }
    u[k] = 0;
    *out_length = utf16_to_utf8(body, (uint64_t)((char*)(u + k + 1) - body), u);
    return body;
}

// Prepares the text in place: the byte-order mark dropped, UTF-16 converted,
// CR LF and lone CR made LF, cut at the first NUL, and moved so that it ends
// with a NUL at end - 1. Its first byte, or null when it does not fit.
char* prepare_text(char* body, char* end, char* text, uint64_t length)
{
    unsigned char* t = reinterpret_cast<unsigned char*>(text);
    char* source = text;
    if (length >= 3 && t[0] == 0xEF && t[1] == 0xBB && t[2] == 0xBF) {
        source += 3;
        length -= 3;
    } else if (length >= 2 && ((t[0] == 0xFF && t[1] == 0xFE) || (t[0] == 0xFE && t[1] == 0xFF))) {
        source = from_utf16(body, end, t + 2, length - 2, t[0] == 0xFE, &length);
    }
    const void* nul = std::memchr(source, 0, length);
    if (nul) length = (uint64_t)((const char*)nul - source);
    if (length + 1 > (uint64_t)(end - body)) return nullptr;

    char* d = end - 1;
    *d = 0;
    if (!std::memchr(source, '\r', length)) {
        d -= length;
        std::memmove(d, source, length);
        return d;
    }
    // Backwards, so that the text can only move towards the end.
    const char* s = source + length;
    while (s > source) {
        char c = *--s;
        if (c == '\n' && s > source && s[-1] == '\r') --s;
        else if (c == '\r') c = '\n';
        *--d = c;
    }
    return d;
}

} // namespace

bool markdown_fits(uint64_t length, uint64_t half_size)
{
    if (half_size <= body_offset) return false;
    const uint64_t room = half_size - body_offset;
    return length < room / 2 && room >= length + length / 2 + md_work_room + 8;
}

int render_markdown_page(page_output* out, const char* title, uint64_t title_length, bool debug,
                         char* text, uint64_t length)
{
    char* base = page_buffer(out);
    const uint64_t size = page_buffer_size(out);
    if (!markdown_fits(length, size)) return 22;
    char* end = base + size;
    char* body = base + body_offset;
    if (text < body || text + length + 4 != end) return 22;
    char* start = prepare_text(body, end, text, length);
    if (!start || (uint64_t)(start - body) < md_work_room + md_keep_behind + md_chunk_tail) return 22;

    md_render m{};
    m.out = out;
    m.base = base;
    m.body = body;
    m.end = end;
    m.w = body;
    m.r = start;
    m.text_begin = start;
    m.origin = (uint64_t)(end - start);

    md_emit(&m, head_start);
    if (debug) md_emit(&m, head_debug);
    md_emit(&m, head_rest);
    md_emit_escaped(&m, title, title_length, escape_all);
    md_emit(&m, head_end);
    md_render_blocks(&m);
    // The last send writes the terminating chunk behind the page.
    if (!m.stopped) md_ensure(&m, 8);
    if (m.stopped) return out->failed ? -1 : 0;
    return page_finish(out, m.w) ? 0 : -1;
}

bool render_markdown(http_exchange* exchange, char* text, uint64_t length)
{
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    const resolved_path* path = &response->resolved;
    // The title is the file name: the path's last segment.
    char title[title_capacity];
    uint64_t title_length = 0;
    if (path->path_end && path->url_part) {
        const char16_t* segment = path->path_end;
        while (segment > path->url_part && segment[-1] != u'/') --segment;
        title_length = utf16_to_utf8(title, sizeof(title), segment);
    }

    page_output out;
    page_output_socket(&out, response, request);
    int result = render_markdown_page(&out, title, title_length, request->query_debug, text, length);
    if (result == 0) return true;
    // An answer cut short ends the connection; one never begun is a 500.
    if (result == 22) return page_abandon(&out);
    request->keep_alive = false;
    return false;
}
