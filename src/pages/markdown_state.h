// The state the Markdown renderer's files share: one page being written in
// front of the text it has not read yet, inside one buffer half, and the
// primitives that write it. Only the renderer's own files include this.
//
// Layout of the half: [base, body) belongs to the sender (header block, chunk
// size line); [body, w) is the page written since the last flush; [w, r) is
// free room; [r, end) is the unread text, which ends with its NUL at end - 1.
// Positions that must survive a flush are kept as distances from `end`, which
// do not change when the unread text moves to the other half.
#pragma once
#include <cstdint>
#include <cstring>

#include "http/response.h"
#include "pages/page_output.h"

// Before each byte the main loop flushes when less room than this is left;
// every rule writes at most this much before it checks the room again.
// Writing blanks costs no room (each takes the place of the text byte it
// copies, or less), so no flush falls between blanks and the cell separator
// or line break that takes them back from the page.
constexpr uint64_t md_flush_room = 512;
// Text bytes kept readable behind the read position: rules look back at most
// two bytes (line starts, a number's neighbour, two spaces before a line end).
constexpr uint64_t md_keep_behind = 2;
// flush_chunk writes CR LF right behind the data it sends.
constexpr uint64_t md_chunk_tail = 2;
// The prepared text leaves at least this much room in a half, so every flush
// makes room for far more than a rule writes at once.
constexpr uint64_t md_work_room = 4096;
// Columns a table keeps alignments for; the column index stops at the last.
constexpr uint32_t md_columns = 64;
// Open emphasis tags at most.
constexpr uint32_t md_stack_depth = 3;

enum md_tag : uint8_t { md_bold, md_italic };

// How md_emit_span copies text bytes.
enum md_span : uint8_t {
    md_span_plain,     // as they are
    md_span_attribute, // a double quote as &quot;
    md_span_resolved,  // a backslash before a byte is dropped
    md_span_alt,       // backslashes dropped and double quotes as &quot;
    md_span_code,      // < > & as entities
};

// What the last search for one byte on the current line found: the search
// started `from` and the first such byte, or the LF or NUL ending the line,
// is `found` (both distances from end). Text never changes ahead of the read
// position, so any later search between the two has the same answer.
struct md_search {
    uint64_t from;  // distance from end of where the search started
    uint64_t found; // distance from end of what it stopped at
    bool valid;     // a search was made
};

struct md_render {
    page_output* out;         // where the page goes
    char* base;               // the half being filled
    char* body;               // base + body_offset: the page starts here after each flush
    char* end;                // base + half size
    char* w;                  // write position: next page byte
    char* r;                  // read position: next text byte
    char* text_begin;         // first text byte still held in this half (lookbehind)
    uint64_t origin;          // distance from end of the text's first byte
    bool stopped;             // nothing more may be written (HEAD, a failed send)

    bool paragraph;           // "<p>" is open
    uint8_t heading;          // level of the open heading, 0 when none
    bool table;               // a table is open
    bool in_row;              // a row of the open table is open
    bool header_row;          // that row is the header row
    uint64_t header_end;      // distance from end of the delimiter line's LF or NUL
    uint32_t column;          // current cell, 0 to md_columns - 1
    bool odd_row;             // the next body row is odd
    uint8_t align[md_columns]; // per column: 0 none, 1 left, 2 right, 3 center

    md_tag stack[md_stack_depth]; // open emphasis, the most recent last
    uint32_t depth;           // entries of stack in use

    md_search bracket;        // the last search for "]"
    md_search paren;          // the last search for ")"
};

inline bool md_blank(char c) { return c == ' ' || c == '\t'; }

// Bytes the page may still take before the read position.
inline uint64_t md_room(const md_render* m)
{
    uint64_t gap = (uint64_t)(m->r - m->w);
    return gap > md_keep_behind + md_chunk_tail ? gap - md_keep_behind - md_chunk_tail : 0;
}

// The text byte k (1 or 2) places behind the read position, 0 before the text.
inline char md_before(const md_render* m, uint64_t k)
{
    return (uint64_t)(m->r - m->text_begin) >= k ? *(m->r - (int64_t)k) : 0;
}

inline bool md_at_origin(const md_render* m) { return (uint64_t)(m->end - m->r) == m->origin; }
inline uint64_t md_distance(const md_render* m, const char* p) { return (uint64_t)(m->end - p); }
inline char* md_at(const md_render* m, uint64_t distance) { return m->end - distance; }

// Writes n bytes at w; the caller has made sure of the room (md_flush_room
// at the start of a rule, or md_ensure).
inline void md_put(md_render* m, const char* text, uint64_t n)
{
    std::memcpy(m->w, text, n);
    m->w += n;
}

template <uint64_t n>
inline void md_put(md_render* m, const char (&text)[n])
{
    md_put(m, text, n - 1);
}

// Sends the page so far and moves the unread text to the end of the next
// half. False when the page must stop.
bool md_flush(md_render* m);

// Makes sure n bytes of room are left, flushing when they are not. False when
// the page must stop (nothing may be written then).
inline bool md_ensure(md_render* m, uint64_t n)
{
    if (m->stopped) return false;
    if (md_room(m) >= n) return true;
    if (!md_flush(m)) return false;
    if (md_room(m) >= n) return true;
    // Cannot happen while the text leaves md_work_room; stop rather than overwrite it.
    m->stopped = true;
    m->out->failed = true;
    m->out->stop = true;
    return false;
}

// Flushes first when fewer than n bytes are left but a flush would make
// room for them, so that an element usually goes out in one piece.
void md_prefer_room(md_render* m, uint64_t n);

// Writes a fixed text after making room for it.
inline bool md_emit(md_render* m, const char* text, uint64_t n)
{
    if (!md_ensure(m, n)) return false;
    md_put(m, text, n);
    return true;
}

template <uint64_t n>
inline bool md_emit(md_render* m, const char (&text)[n])
{
    return md_emit(m, text, n - 1);
}

// Writes n bytes of stable (non-text) memory with the html_escape set, in
// pieces across flushes. False when the page stopped.
bool md_emit_escaped(md_render* m, const char* source, uint64_t n, uint32_t set);
// Writes the n unread text bytes that begin offset bytes past the read
// position, in pieces across flushes (the read position does not move).
bool md_emit_span(md_render* m, uint64_t offset, uint64_t n, md_span mode);
// Writes one text byte of code: < > & as entities.
bool md_emit_code_byte(md_render* m, char c);

// Closes the open emphasis tags, the most recent first.
void md_close_stack(md_render* m);

// Rules of the main loop, each at its trigger byte at the read position; each
// leaves the read position behind the bytes it consumed.
void md_ordinary(md_render* m);
void md_emphasis(md_render* m);
void md_escape(md_render* m);
void md_bang(md_render* m);
void md_bracket(md_render* m);
void md_backtick(md_render* m);
// The whole fenced code block from its opening "```" to its closing fence or
// the end of the text.
void md_code_block(md_render* m);

// The main loop over the whole text, then the page end (but not the last send).
void md_render_blocks(md_render* m);
