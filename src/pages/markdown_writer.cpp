// Writing the Markdown page in front of the unread text: bounded copies that
// go out in pieces when they meet the read position, and the flush that sends
// the page so far and moves the unread text to the end of the next half.
#include <cstring>

#include "http/text_escape.h"
#include "pages/markdown_state.h"

namespace {

// The longest entity html_escape writes for one byte ("&quot;").
constexpr uint64_t longest_entity = 6;

// Room for at least one escaped byte, flushing when needed.
bool piece_room(md_render* m, uint64_t* room)
{
    *room = md_room(m);
    if (*room >= longest_entity) return true;
    if (!md_ensure(m, longest_entity)) return false;
    *room = md_room(m);
    return true;
}

} // namespace

bool md_flush(md_render* m)
{
    if (m->stopped) return false;
    uint64_t behind = (uint64_t)(m->r - m->text_begin);
    if (behind > md_keep_behind) behind = md_keep_behind;
    const char* from = m->r - behind;
    const uint64_t unread = (uint64_t)(m->end - from);
    char* old_base = m->base;
    if (!page_flush(m->out, m->w)) {
        m->stopped = true;
        return false;
    }
    char* base = page_buffer(m->out);
    char* end = base + page_buffer_size(m->out);
    // The half just sent is only read from here on: the unread text lies
    // behind the data the sending thread is sending.
    if (base != old_base) std::memmove(end - unread, from, unread);
    m->base = base;
    m->body = base + body_offset;
    m->end = end;
    m->text_begin = end - unread;
    m->r = m->text_begin + behind;
    m->w = m->body;
    return true;
}

void md_prefer_room(md_render* m, uint64_t n)
{
    if (m->stopped || md_room(m) >= n) return;
    // A flush leaves the room between the body and the read position.
    uint64_t after = (uint64_t)(m->r - m->body);
    if (after > n + md_keep_behind + md_chunk_tail) md_flush(m);
}

bool md_emit_escaped(md_render* m, const char* source, uint64_t n, uint32_t set)
{
    uint64_t i = 0;
    while (i < n) {
        uint64_t room;
        if (!piece_room(m, &room)) return false;
        uint64_t piece = room / longest_entity;
        if (piece > n - i) piece = n - i;
        m->w += html_escape(m->w, room, source + i, piece, set);
        i += piece;
    }
    return true;
}

bool md_emit_span(md_render* m, uint64_t offset, uint64_t n, md_span mode)
{
    uint64_t i = 0;
    while (i < n) {
        uint64_t room;
        if (!piece_room(m, &room)) return false;
        // A flush moves the text: the span is found again from the read position.
        const char* source = m->r + offset;
        if (mode == md_span_plain) {
            uint64_t piece = room < n - i ? room : n - i;
            md_put(m, source + i, piece);
            i += piece;
        } else if (mode == md_span_attribute || mode == md_span_code) {
            uint64_t piece = room / longest_entity;
            if (piece > n - i) piece = n - i;
            uint32_t set = mode == md_span_code ? escape_markup : escape_double_quote;
            m->w += html_escape(m->w, room, source + i, piece, set);
            i += piece;
        } else {
            while (i < n && room >= longest_entity) {
                if (source[i] == '\\' && i + 1 < n) ++i;
                if (mode == md_span_alt && source[i] == '"') {
                    int64_t k = html_escape(m->w, room, source + i, 1, escape_double_quote);
                    m->w += k;
                    room -= (uint64_t)k;
                } else {
                    *m->w++ = source[i];
                    --room;
                }
                ++i;
            }
        }
    }
    return true;
}

bool md_emit_code_byte(md_render* m, char c)
{
    if (c != '<' && c != '>' && c != '&') {
        if (!md_ensure(m, 1)) return false;
        *m->w++ = c;
        return true;
    }
    if (!md_ensure(m, longest_entity)) return false;
    m->w += html_escape(m->w, md_room(m), &c, 1, escape_markup);
    return true;
}

void md_close_stack(md_render* m)
{
    while (m->depth != 0) {
        --m->depth;
        if (m->stack[m->depth] == md_bold) md_emit(m, "</b>");
        else md_emit(m, "</i>");
    }
}
