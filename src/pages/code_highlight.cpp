// Fenced code blocks: the fence, and the highlighter that wraps listed words,
// comments, strings, numbers and symbol runs in elements of their own. Code
// bytes reach the page with < > & as entities; the rules look at the bytes of
// the text, not at what was written for them.
#include "pages/code_words.h"
#include "pages/markdown_state.h"

namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_byte(char c) { return is_letter(c) || is_digit(c) || c == '_'; }

// Bytes that may end a listed word.
bool ends_word(char c)
{
    switch (c) {
    case '\t': case '\n': case ' ': case '(': case ')': case ',': case '{': case '}': return true;
    default: return false;
    }
}

bool is_number_byte(char c)
{
    return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == 'X' || c == 'x';
}

// A digit starts a number only after one of these.
bool before_number(char c) { return c == '\t' || c == ' ' || c == '+' || c == '-' || c == '.' || c == ':'; }

bool is_symbol(char c)
{
    switch (c) {
    case '$': case '%': case '&': case '(': case ')': case '*': case '+': case ',': case '-':
    case '.': case '/': case ':': case ';': case '<': case '=': case '>': case '?': case '@':
    case '[': case '\\': case ']': case '^': case '{': case '|': case '}': case '~':
        return true;
    default:
        return false;
    }
}

// "#" opens no comment before the preprocessor's own words.
bool preprocessor_word(const char* p)
{
    if (p[1] == 'i' && p[2] == 'f') return true;
    const char* words[] = {"def", "els", "end", "inc"};
    for (const char* w : words)
        if (p[1] == w[0] && p[2] == w[1] && p[3] == w[2]) return true;
    return false;
}

// The word at the read position when it is a listed word followed by a byte
// that ends words: its length and list, else 0.
uint64_t listed_word(const char* p, code_word* kind)
{
    uint64_t n = *p == '#' ? 1 : 0;
    // A word longer than every entry matches none: no need to read it all.
    while (n <= code_word_longest && is_word_byte(p[n])) ++n;
    if (n > code_word_longest || !ends_word(p[n])) return 0;
    *kind = code_word_kind(p, n);
    return *kind == code_word_none ? 0 : n;
}

void write_word(md_render* m, uint64_t n, code_word kind)
{
    static const char* const open[] = {"", "<keyword>", "<keyfunc>", "<keyprep>"};
    static const char* const close[] = {"", "</keyword>", "</keyfunc>", "</keyprep>"};
    md_put(m, open[kind], 9);
    md_put(m, m->r, n);
    md_put(m, close[kind], 10);
    m->r += n;
}

// A run of bytes that `member` accepts, inside its element; the room is
// checked before every byte, as a run can be as long as its line.
template <typename test>
bool write_run(md_render* m, const char (&open)[9], const char (&close)[10], test member)
{
    md_put(m, open, 8);
    while (member(*m->r)) {
        if (md_room(m) < md_flush_room && !md_flush(m)) return false;
        if (!md_emit_code_byte(m, *m->r)) return false;
        ++m->r;
    }
    return md_emit(m, close, 9);
}

} // namespace

void md_code_block(md_render* m)
{
    // The rest of the fence line is an info string, which nothing uses.
    const char* p = m->r + 3;
    while (*p != 0 && *p != '\n') ++p;
    if (*p == 0 || p[1] == 0) {
        // A fence on the last line opens nothing.
        m->r += p - m->r + (*p == '\n' ? 1 : 0);
        return;
    }
    m->r += p - m->r + 1;
    md_put(m, "<pre>\n");

    bool token_start = true;
    bool comment = false;
    bool string = false;
    while (!m->stopped) {
        if (md_room(m) < md_flush_room && !md_flush(m)) return;
        const char* r = m->r;
        const char c = *r;
        if (c == 0) break;
        if (token_start && (is_letter(c) || c == '_' || c == '#')) {
            code_word kind = code_word_none;
            uint64_t n = listed_word(r, &kind);
            token_start = false;
            if (n != 0) {
                write_word(m, n, kind);
                continue;
            }
        }
        if (c == '\n' && comment) {
            md_put(m, "</comment>");
            comment = false;
        }
        if (!comment) {
            if (c == '"' || c == '\'') {
                if (string) {
                    // Either quote ends a string begun by either.
                    md_put(m, &c, 1);
                    md_put(m, "</string>");
                    string = false;
                    token_start = false;
                    ++m->r;
                    continue;
                }
                md_put(m, "<string>");
                string = true;
            } else if (!string) {
                if ((c == '#' && !preprocessor_word(r)) || (c == '/' && r[1] == '/')) {
                    md_put(m, "<comment>");
                    comment = true;
                } else if (is_digit(c) && before_number(md_before(m, 1))) {
                    if (!write_run(m, "<number>", "</number>", is_number_byte)) return;
                    token_start = false;
                    continue;
                } else if (is_symbol(c)) {
                    if (!write_run(m, "<symbol>", "</symbol>", is_symbol)) return;
                    token_start = true;
                    continue;
                }
            }
        }
        if (c == '`' && r[1] == '`' && r[2] == '`' && md_before(m, 1) == '\n') {
            if (string) md_put(m, "</string>");
            if (comment) md_put(m, "</comment>");
            md_put(m, "</pre>\n");
            m->r += 3;
            return;
        }
        md_emit_code_byte(m, c);
        ++m->r;
        token_start = (c == ' ' || c == '\t' || c == '\n') && !comment && !string;
    }
    if (string) md_emit(m, "</string>");
    if (comment) md_emit(m, "</comment>");
    md_emit(m, "</pre>\n");
}
