// Test support: renders Markdown text without a socket, into buffer halves
// of a chosen size, and takes the captured chunk framing apart.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/response.h"
#include "pages/markdown.h"
#include "pages/page_output.h"

struct rendered_page {
    int result;         // render_markdown_page's result
    uint32_t chunks;    // data chunks flushed before the end
    bool framed;        // the capture is exact chunk framing (or one piece without chunks)
    std::string raw;    // what a client would get after the header block
    std::string page;   // the page with the framing taken off
};

// Takes chunk framing apart exactly: lower-case hex without leading zeros,
// CR LF, data, CR LF, and the terminating "0" CR LF CR LF at the very end.
inline bool unchunk(const std::string& raw, std::string* page)
{
    size_t at = 0;
    page->clear();
    for (;;) {
        size_t line = raw.find("\r\n", at);
        if (line == std::string::npos || line == at || line - at > 16) return false;
        uint64_t size = 0;
        for (size_t i = at; i < line; ++i) {
            char c = raw[i];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0 || (i == at && c == '0' && line - at > 1)) return false;
            size = size * 16 + (uint64_t)digit;
        }
        at = line + 2;
        if (size == 0) return raw.compare(at, std::string::npos, "\r\n") == 0;
        if (raw.size() < at + size + 2 || raw.compare(at + size, 2, "\r\n") != 0) return false;
        page->append(raw, at, size);
        at += size + 2;
    }
}

// Renders text as it would lie in a slot buffer half of half_size bytes; with
// two_halves the page alternates between two such halves, as a slot does.
inline rendered_page render_text(const std::string& text, uint64_t half_size = body_offset + 262144,
                                 bool two_halves = true, const std::string& title = "page.md",
                                 bool debug = false)
{
    std::vector<char> a(half_size), b(two_halves ? half_size : 0);
    std::memset(a.data(), 0x5a, a.size());
    if (two_halves) std::memset(b.data(), 0x5a, b.size());
    // No page is more than about 25 times its text.
    std::vector<char> capture(64 * text.size() + 65536);
    char* text_at = a.data() + half_size - 4 - text.size();
    std::memcpy(text_at, text.data(), text.size());
    std::memset(text_at + text.size(), 0, 4);
    page_output out;
    page_output_capture(&out, a.data(), two_halves ? b.data() : a.data(), half_size, capture.data(),
                        capture.size());
    rendered_page r{};
    r.result = render_markdown_page(&out, title.data(), title.size(), debug, text_at, text.size());
    r.chunks = out.chunks;
    r.raw.assign(capture.data(), out.capture_length);
    if (out.chunks == 0) {
        r.framed = true;
        r.page = r.raw;
    } else {
        r.framed = unchunk(r.raw, &r.page);
    }
    return r;
}

// The part of a page between "<md>" and "</md></body></html>", or "?" when the
// page does not have that frame.
inline std::string md_inner(const std::string& page)
{
    const std::string open = "<body class=\"qn_md\"><md>";
    const std::string close = "</md></body></html>";
    size_t at = page.find(open);
    if (at == std::string::npos || page.size() < close.size() ||
        page.compare(page.size() - close.size(), close.size(), close) != 0)
        return "?";
    at += open.size();
    return page.substr(at, page.size() - close.size() - at);
}

// The inner page of text rendered into one large buffer.
inline std::string md(const std::string& text)
{
    return md_inner(render_text(text).page);
}
