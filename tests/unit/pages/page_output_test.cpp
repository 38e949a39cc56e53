// The capture side of a page's output: the framing a client would get after
// the header block, and the byte range rules of a one-piece page.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/response.h"
#include "pages/page_output.h"
#include "support/markdown_render.h"

namespace {

struct capture_page {
    std::vector<char> a = std::vector<char>(body_offset + 4096);
    std::vector<char> b = std::vector<char>(body_offset + 4096);
    std::vector<char> captured = std::vector<char>(1 << 16);
    page_output out;
    capture_page() { page_output_capture(&out, a.data(), b.data(), a.size(), captured.data(), captured.size()); }
    // Writes text at the body of the current half; the write position behind it.
    char* write(const std::string& text)
    {
        char* body = page_buffer(&out) + body_offset;
        std::memcpy(body, text.data(), text.size());
        return body + text.size();
    }
    std::string text() const { return std::string(captured.data(), out.capture_length); }
};

TEST(PageOutput, OnePieceWithoutChunks)
{
    capture_page p;
    ASSERT_TRUE(page_finish(&p.out, p.write("<p>hi</p>")));
    EXPECT_EQ(p.text(), "<p>hi</p>");
    EXPECT_EQ(p.out.chunks, 0u);
}

TEST(PageOutput, ChunksAlternateHalvesAndEndWithTheTerminatingChunk)
{
    capture_page p;
    char* first = page_buffer(&p.out);
    ASSERT_TRUE(page_flush(&p.out, p.write(std::string(26, 'a'))));
    EXPECT_NE(page_buffer(&p.out), first);
    // An empty flush sends nothing: a chunk of size 0 would end the body.
    ASSERT_TRUE(page_flush(&p.out, page_buffer(&p.out) + body_offset));
    ASSERT_TRUE(page_flush(&p.out, p.write("b")));
    EXPECT_EQ(page_buffer(&p.out), first);
    ASSERT_TRUE(page_finish(&p.out, p.write("end")));
    EXPECT_EQ(p.text(), "1a\r\n" + std::string(26, 'a') + "\r\n1\r\nb\r\n3\r\nend\r\n0\r\n\r\n");
    std::string page;
    EXPECT_TRUE(unchunk(p.text(), &page));
    EXPECT_EQ(page, std::string(26, 'a') + "bend");
}

TEST(PageOutput, EmptyLastChunkIsLeftOut)
{
    capture_page p;
    ASSERT_TRUE(page_flush(&p.out, p.write("x")));
    ASSERT_TRUE(page_finish(&p.out, page_buffer(&p.out) + body_offset));
    EXPECT_EQ(p.text(), "1\r\nx\r\n0\r\n\r\n");
}

TEST(PageOutput, FullCaptureStopsThePage)
{
    std::vector<char> a(body_offset + 4096), captured(8);
    page_output out;
    page_output_capture(&out, a.data(), a.data(), a.size(), captured.data(), captured.size());
    char* body = page_buffer(&out) + body_offset;
    std::memset(body, 'x', 100);
    EXPECT_FALSE(page_flush(&out, body + 100));
    EXPECT_TRUE(out.stop);
    EXPECT_TRUE(out.failed);
    EXPECT_FALSE(page_flush(&out, body));
}

TEST(PageOutput, RangeRulesOfFileDelivery)
{
    struct range_case {
        uint64_t first, last;       // as requested
        int32_t status;
        uint64_t want_first, want_last;
    };
    const range_case cases[] = {
        {0, 0, status_partial_content, 0, 999},       // a last position of 0 means the end
        {100, 199, status_partial_content, 100, 199},
        {900, 5000, status_partial_content, 900, 999},
        {2000, 0, status_range_not_satisfiable, 0, 999},
        {500, 100, status_range_not_satisfiable, 500, 999},
    };
    for (const range_case& c : cases) {
        uint64_t first = c.first, last = c.last;
        EXPECT_EQ(page_range_status(1000, &first, &last), c.status) << c.first << "-" << c.last;
        EXPECT_EQ(first, c.want_first);
        EXPECT_EQ(last, c.want_last);
    }
}

} // namespace
