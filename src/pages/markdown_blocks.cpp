// Block structure of the Markdown view: the main loop over the text,
// paragraphs, headings, line breaks, horizontal rules and tables, and the end
// of the page. Inline rules and code blocks get the bytes that start them.
#include "pages/markdown_state.h"

namespace {

const char* const heading_open[] = {"", "<h1>\n", "<h2>\n", "<h3>\n", "<h4>\n", "<h5>\n", "<h6>\n"};
const char* const heading_close[] = {"", "</h1>\n", "</h2>\n", "</h3>\n", "</h4>\n", "</h5>\n", "</h6>\n"};
const char* const align_class[] = {"", "qn_l", "qn_r", "qn_c"};
constexpr uint64_t align_class_length[] = {0, 4, 4, 4};

void close_heading(md_render* m)
{
    if (m->heading == 0) return;
    md_close_stack(m);
    md_emit(m, heading_close[m->heading], 6);
    m->heading = 0;
}

void close_paragraph(md_render* m)
{
    if (!m->paragraph) return;
    md_close_stack(m);
    md_emit(m, "</p>\n");
    m->paragraph = false;
}

// "#" while nothing is open: the signs give the level (six at most).
void heading(md_render* m)
{
    uint32_t level = 0;
    while (*m->r == '#') {
        ++level;
        ++m->r;
    }
    while (md_blank(*m->r)) ++m->r;
    // A line of signs alone is no heading.
    if (*m->r == '\n' || *m->r == 0) return;
    if (level > 6) level = 6;
    md_put(m, heading_open[level], 5);
    m->heading = (uint8_t)level;
}

// LF outside a table.
void line_end(md_render* m)
{
    const bool two_spaces = md_before(m, 1) == ' ' && md_before(m, 2) == ' ';
    ++m->r;
    md_put(m, "\n");
    if (*m->r == '\n') {
        // A run of blank lines leaves the one LF already written.
        while (*m->r == '\n') ++m->r;
        close_paragraph(m);
        close_heading(m);
    } else if (m->heading != 0) {
        close_heading(m);
    } else if (two_spaces) {
        --m->w;
        while (m->w > m->body && m->w[-1] == ' ') --m->w;
        md_put(m, "<br />\n");
    }
}

void put_align_class(md_render* m)
{
    uint8_t a = m->align[m->column];
    md_put(m, align_class[a], align_class_length[a]);
}

// At a "|" that starts a row of the open table.
void row_start(md_render* m)
{
    ++m->r;
    while (md_blank(*m->r)) ++m->r;
    m->column = 0;
    if (m->header_row) {
        md_put(m, "<tr class=\"qn_e\"><th class=\"");
    } else {
        if (m->odd_row) md_put(m, "<tr class=\"qn_o\"><td class=\"");
        else md_put(m, "<tr class=\"qn_e\"><td class=\"");
        m->odd_row = !m->odd_row;
    }
    put_align_class(m);
    md_put(m, "\">");
    m->in_row = true;
}

// Reads the alignments of the delimiter line that begins at p with "|".
void read_alignments(md_render* m, const char* p)
{
    uint32_t column = 0;
    ++p;
    while (column < md_columns) {
        uint8_t a = 0;
        while (md_blank(*p)) ++p;
        if (*p == ':') {
            a |= 1;
            ++p;
        }
        while (*p == '-') ++p;
        if (*p == ':') {
            a |= 2;
            ++p;
        }
        while (md_blank(*p)) ++p;
        m->align[column++] = a;
        if (*p != '|') return;
        ++p;
    }
}

// A "|" at a line start (not the text's first byte) while no table is open.
void table_start(md_render* m)
{
    md_close_stack(m);
    close_heading(m);
    close_paragraph(m);
    md_emit(m, "<table><thead>\n");
    m->table = true;
    m->odd_row = false;
    for (uint32_t i = 0; i < md_columns; ++i) m->align[i] = 0;
    // The line after the first row is its delimiter line, never rendered;
    // without one the first row is a body row.
    const char* p = m->r;
    while (*p != 0 && *p != '\n') ++p;
    m->header_row = *p == '\n' && p[1] != 0;
    if (m->header_row) {
        const char* line = p + 1;
        if (*line == '|') read_alignments(m, line);
        const char* e = line;
        while (*e != 0 && *e != '\n') ++e;
        m->header_end = md_distance(m, e);
    }
    // The closings above may have flushed: the room of a rule is made anew.
    if (!md_ensure(m, md_flush_room)) return;
    row_start(m);
}

// A "|" inside a row: the next cell, unless the line ends after it.
void cell_separator(md_render* m)
{
    ++m->r;
    while (m->w > m->body && md_blank(m->w[-1])) --m->w;
    while (md_blank(*m->r)) ++m->r;
    if (*m->r == '\n' || *m->r == 0) return;
    if (m->column < md_columns - 1) ++m->column;
    if (m->header_row) md_put(m, "</th><th class=\"");
    else md_put(m, "</td><td class=\"");
    put_align_class(m);
    md_put(m, "\">");
}

void close_row(md_render* m)
{
    if (m->header_row) md_put(m, "</th></tr>\n</thead><tbody>\n");
    else md_put(m, "</td></tr>\n");
    m->in_row = false;
    m->column = 0;
}

// LF inside a table: the row ends, and the table with it unless the next
// line starts with "|". The LF itself is not written.
void row_end(md_render* m)
{
    const char* p = m->r;
    const bool header = m->header_row;
    close_row(m);
    m->header_row = false;
    if (header) {
        // Reading resumes behind the delimiter line, never behind the read
        // position (a code block in the header row may have read past it).
        const char* e = md_at(m, m->header_end);
        if (e > p) p = e;
    }
    if (*p == 0) {
        m->r += p - m->r;
        md_put(m, "</tbody></table>\n");
        m->table = false;
        return;
    }
    m->r += p - m->r + 1;
    if (*m->r != '|') {
        md_put(m, "</tbody></table>\n");
        m->table = false;
    }
}

void bar(md_render* m)
{
    const bool line_start = md_before(m, 1) == '\n';
    if (line_start && m->table) {
        row_start(m);
    } else if (line_start && !md_at_origin(m)) {
        table_start(m);
    } else if (m->table && m->in_row) {
        cell_separator(m);
    } else {
        *m->w++ = *m->r++;
    }
}

void page_end(md_render* m)
{
    md_close_stack(m);
    close_heading(m);
    close_paragraph(m);
    if (m->table) {
        if (!md_ensure(m, md_flush_room)) return;
        if (m->in_row) close_row(m);
        md_put(m, "</tbody></table>\n");
        m->table = false;
    }
    md_emit(m, "</md></body></html>");
}

} // namespace

void md_render_blocks(md_render* m)
{
    while (!m->stopped) {
        if (md_room(m) < md_flush_room && !md_flush(m)) return;
        switch (*m->r) {
        case 0: page_end(m); return;
        case '\n':
            if (m->table) row_end(m);
            else line_end(m);
            break;
        case '#':
            if (!m->table && m->heading == 0 && !m->paragraph) heading(m);
            else md_ordinary(m);
            break;
        case '|': bar(m); break;
        case '-':
            if (m->r[1] == '-' && m->r[2] == '-') {
                m->r += 3;
                md_put(m, "<hr />");
            } else {
                md_ordinary(m);
            }
            break;
        case '*':
        case '_': md_emphasis(m); break;
        case '!': md_bang(m); break;
        case '[': md_bracket(m); break;
        case '\\': md_escape(m); break;
        case '`': md_backtick(m); break;
        default: md_ordinary(m); break;
        }
    }
}
