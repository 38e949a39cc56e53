// Inline markup of the Markdown view: ordinary characters with bare web
// addresses, emphasis, backslash escapes, images, links, linked images and
// inline code. Prose is copied byte for byte (raw HTML in it is the site
// owner's markup); values the renderer puts into attributes get their double
// quotes escaped, and code its < > &.
#include "pages/markdown_state.h"

namespace {

// Bytes the ordinary-character rule copies in a run: everything that has no
// rule of its own, starts no web address and is no blank.
constexpr struct plain_table {
    bool plain[256];
    constexpr plain_table() : plain()
    {
        for (int c = 0; c < 256; ++c) plain[c] = true;
        for (unsigned char c : "\n#|-*_!\\[`h \t") plain[c] = false;
    }
} plain_bytes;

bool is_plain(char c) { return plain_bytes.plain[(unsigned char)c]; }

// Length of "http://" or "https://" at p, 0 when neither begins there.
uint64_t scheme_length(const char* p)
{
    if (p[0] != 'h' || p[1] != 't' || p[2] != 't' || p[3] != 'p') return 0;
    if (p[4] == ':' && p[5] == '/' && p[6] == '/') return 7;
    if (p[4] == 's' && p[5] == ':' && p[6] == '/' && p[7] == '/') return 8;
    return 0;
}

// The first `want` at or after q on q's line, or the LF or NUL that ends the
// line. Remembers its answer, so that the many starts on one line (90,000 "["
// in a row) do not search the line again each time.
const char* find_on_line(md_render* m, md_search* s, char want, const char* q)
{
    const uint64_t at = md_distance(m, q);
    if (s->valid && at <= s->from && at >= s->found) return md_at(m, s->found);
    const char* stop = nullptr;
    if (s->valid && at > s->from) stop = md_at(m, s->from);
    const char* p = q;
    if (stop) {
        // Only the stretch in front of the last search is new.
        while (p < stop && *p != want && *p != '\n' && *p != 0) ++p;
        if (p == stop) {
            s->from = at;
            return md_at(m, s->found);
        }
    } else {
        while (*p != want && *p != '\n' && *p != 0) ++p;
    }
    s->from = at;
    s->found = md_distance(m, p);
    s->valid = true;
    return p;
}

// Case-sensitive substring test inside [p, p + n).
bool contains(const char* p, uint64_t n, const char* word, uint64_t length)
{
    for (uint64_t i = 0; i + length <= n; ++i)
        if (std::memcmp(p + i, word, length) == 0) return true;
    return false;
}

// The image of alt text and address at the given offsets from the read
// position: the address three times (src and both srcset entries).
void write_image(md_render* m, uint64_t alt_at, uint64_t alt_length, uint64_t address_at,
                 uint64_t address_length)
{
    const char* address = m->r + address_at;
    const bool dark = contains(address, address_length, "dark", 4);
    const bool light = !dark && contains(address, address_length, "light", 5);
    md_emit(m, "<img style=\"max-width:100%;\" src=\"");
    md_emit_span(m, address_at, address_length, md_span_attribute);
    md_emit(m, "\" srcset=\"");
    md_emit_span(m, address_at, address_length, md_span_attribute);
    md_emit(m, " 1x, ");
    md_emit_span(m, address_at, address_length, md_span_attribute);
    md_emit(m, " 2x\" alt=\"");
    md_emit_span(m, alt_at, alt_length, md_span_alt);
    if (dark) md_emit(m, "\" class=\"dark\"/>");
    else if (light) md_emit(m, "\" class=\"light\"/>");
    else md_emit(m, "\"/>");
}

// A bare address written as a link to itself; the address ends before the
// first blank or line end.
void bare_address(md_render* m, uint64_t scheme)
{
    const char* p = m->r + scheme;
    while (*p != 0 && *p != ' ' && *p != '\t' && *p != '\n') ++p;
    const uint64_t n = (uint64_t)(p - m->r);
    md_prefer_room(m, 2 * n + md_flush_room);
    md_emit(m, "<a href=\"");
    md_emit_span(m, 0, n, md_span_attribute);
    md_emit(m, "\">");
    md_emit_span(m, 0, n, md_span_plain);
    md_emit(m, "</a>");
    m->r += n;
}

} // namespace

void md_ordinary(md_render* m)
{
    if (!m->table && !m->heading && !m->paragraph) {
        md_put(m, "<p>\n");
        m->paragraph = true;
    }
    uint64_t scheme = scheme_length(m->r);
    if (scheme != 0) {
        bare_address(m, scheme);
        return;
    }
    const char c = *m->r++;
    *m->w++ = c;
    if (md_blank(c)) {
        while (md_blank(*m->r)) ++m->r;
        return;
    }
    // Each byte of the run takes as much room as it frees.
    while (is_plain(*m->r)) *m->w++ = *m->r++;
}

void md_emphasis(md_render* m)
{
    const bool bold = m->r[1] == '*' || m->r[1] == '_';
    m->r += bold ? 2 : 1;
    const md_tag tag = bold ? md_bold : md_italic;
    uint32_t at = m->depth;
    while (at != 0 && m->stack[at - 1] != tag) --at;
    if (at != 0) {
        // Tags opened after this one close first.
        while (m->depth >= at) {
            --m->depth;
            md_put(m, m->stack[m->depth] == md_bold ? "</b>" : "</i>", 4);
        }
        return;
    }
    if (m->depth < md_stack_depth) {
        md_put(m, bold ? "<b>" : "<i>", 3);
        m->stack[m->depth++] = tag;
    }
}

void md_escape(md_render* m)
{
    if (m->r[1] == 0) {
        *m->w++ = *m->r++;
        return;
    }
    *m->w++ = m->r[1];
    m->r += 2;
}

void md_bang(md_render* m)
{
    const char* r = m->r;
    if (r[1] == '[') {
        const char* close = find_on_line(m, &m->bracket, ']', r + 2);
        if (*close == ']' && close[1] == '(') {
            const char* end = find_on_line(m, &m->paren, ')', close + 2);
            if (*end == ')') {
                const uint64_t alt_length = (uint64_t)(close - r - 2);
                const uint64_t address_at = (uint64_t)(close + 2 - r);
                const uint64_t address_length = (uint64_t)(end - close - 2);
                md_prefer_room(m, 3 * address_length + alt_length + md_flush_room);
                write_image(m, 2, alt_length, address_at, address_length);
                m->r += end + 1 - r;
                return;
            }
        }
    }
    md_ordinary(m);
}

void md_bracket(md_render* m)
{
    const char* r = m->r;
    if (r[1] == '!' && r[2] == '[') {
        // [![alt](image)](target)
        const char* alt_end = find_on_line(m, &m->bracket, ']', r + 3);
        if (*alt_end == ']' && alt_end[1] == '(') {
            const char* image_end = find_on_line(m, &m->paren, ')', alt_end + 2);
            if (*image_end == ')' && image_end[1] == ']' && image_end[2] == '(') {
                const char* target_end = find_on_line(m, &m->paren, ')', image_end + 3);
                if (*target_end == ')') {
                    const uint64_t alt_length = (uint64_t)(alt_end - r - 3);
                    const uint64_t image_at = (uint64_t)(alt_end + 2 - r);
                    const uint64_t image_length = (uint64_t)(image_end - alt_end - 2);
                    const uint64_t target_at = (uint64_t)(image_end + 3 - r);
                    const uint64_t target_length = (uint64_t)(target_end - image_end - 3);
                    md_prefer_room(m, 3 * image_length + alt_length + target_length + md_flush_room);
                    md_emit(m, "<a href=\"");
                    md_emit_span(m, target_at, target_length, md_span_attribute);
                    md_emit(m, "\">");
                    write_image(m, 3, alt_length, image_at, image_length);
                    md_emit(m, "</a>");
                    m->r += target_end + 1 - r;
                    return;
                }
            }
        }
    }
    const char* text_end = find_on_line(m, &m->bracket, ']', r + 1);
    if (*text_end == ']' && text_end[1] == '(') {
        const char* target_end = find_on_line(m, &m->paren, ')', text_end + 2);
        if (*target_end == ')') {
            const uint64_t text_length = (uint64_t)(text_end - r - 1);
            const uint64_t target_at = (uint64_t)(text_end + 2 - r);
            const uint64_t target_length = (uint64_t)(target_end - text_end - 2);
            md_prefer_room(m, target_length + text_length + md_flush_room);
            md_emit(m, "<a href=\"");
            md_emit_span(m, target_at, target_length, md_span_attribute);
            md_emit(m, "\">");
            md_emit_span(m, 1, text_length, md_span_resolved);
            md_emit(m, "</a>");
            m->r += target_end + 1 - r;
            return;
        }
    }
    md_ordinary(m);
}

void md_backtick(md_render* m)
{
    const char* r = m->r;
    if (r[1] == '`') {
        if (r[2] == '`') {
            md_code_block(m);
            return;
        }
        // Two backticks without a third stand for nothing.
        m->r += 2;
        return;
    }
    if (r[1] == 0) {
        ++m->r;
        return;
    }
    const char* p = r + 1;
    while (*p != 0 && *p != '`') ++p;
    const uint64_t n = (uint64_t)(p - r - 1);
    const bool closed = *p == '`';
    md_emit(m, "<code>");
    md_emit_span(m, 1, n, md_span_code);
    md_emit(m, "</code>");
    m->r += 1 + n + (closed ? 1 : 0);
}
