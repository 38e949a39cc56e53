// The Markdown view: a file asked for with "?view" is rendered to an HTML page
// in one forward pass inside the slot's send buffer, writing in front of the
// text it has not read yet and streaming the page out in chunks when the two
// meet.
#pragma once
#include <cstdint>

struct http_exchange;
struct page_output;

// True when a file of length bytes can be rendered in buffer halves of
// half_size bytes: twice its size below the room behind the body offset, with
// room left for the page even when the text grows by half in its conversion
// from UTF-16 (UTF-16 that would grow more, lone surrogates, is cut short).
bool markdown_fits(uint64_t length, uint64_t half_size);

// Renders the text into a page that goes to out. text points at length bytes
// that end four bytes before the end of page_buffer(out), followed by four
// zero bytes; the renderer changes them in place. title is the file name in
// UTF-8 (escaped here), debug adds the debug script. 0 when the page was
// completed (or ended after the header of a HEAD answer), -1 when it stopped
// because a send failed, 22 when the text does not fit (nothing was written).
int render_markdown_page(page_output* out, const char* title, uint64_t title_length, bool debug,
                         char* text, uint64_t length);

// Renders and sends the page for the exchange's resolved Markdown file, whose
// bytes the caller read into the end of the slot buffer half as
// render_markdown_page wants them. True when the last send succeeded.
// Receiving thread only.
bool render_markdown(http_exchange* exchange, char* text, uint64_t length);
