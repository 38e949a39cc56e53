// libFuzzer target for the Markdown renderer. Each input is rendered twice:
// into the smallest pair of buffer halves that take it (many flushes) and into
// one large buffer. Every half ends right before an inaccessible page and its
// first body_offset bytes are poisoned, so a write outside the page area or a
// read past the text's end is caught. Both renderings must be complete pages
// in exact chunk framing and must read the same.
//
// Input: byte 0 adds (byte 0) * 64 bytes to the small halves' room; the rest
// is the file's bytes.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/response.h"
#include "pages/markdown.h"
#include "pages/page_output.h"

namespace {

constexpr uint64_t longest_text = 32768;
// No page is more than about 25 times its text.
constexpr uint64_t capture_size = 64 * longest_text + 65536;
constexpr uint64_t small_half_most = body_offset + 3 * longest_text + 16384 + 255 * 64;
constexpr uint64_t large_half = body_offset + 64 * longest_text;

constexpr char page_start[] = "<!DOCTYPE html><html><head>";
constexpr char page_end[] = "</md></body></html>";

void require(bool condition)
{
    if (!condition) __builtin_trap();
}

// A region of `size` writable bytes followed by an inaccessible page; the
// address of its end (the first byte of that page).
char* guarded_end(uint64_t size)
{
    const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
    const uint64_t rounded = (size + page - 1) / page * page;
    void* p = mmap(nullptr, rounded + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) abort();
    char* end = (char*)p + rounded;
    if (mprotect(end, page, PROT_NONE) != 0) abort();
    return end;
}

// A half of half_size bytes ending at end: the sender's area is poisoned, the
// rest filled with a pattern so that stale bytes cannot pass for text.
char* fresh_half(char* end, uint64_t half_size, uint64_t most)
{
    char* half = end - half_size;
    ASAN_UNPOISON_MEMORY_REGION(end - most, most);
    std::memset(half, 0x5a, half_size);
    ASAN_POISON_MEMORY_REGION(half, body_offset);
    return half;
}

// Takes exact chunk framing apart into out; the page's length, or -1.
int64_t unchunk(const char* raw, uint64_t length, char* out)
{
    uint64_t at = 0;
    uint64_t written = 0;
    for (;;) {
        uint64_t size = 0;
        uint64_t digits = 0;
        while (at < length && raw[at] != '\r') {
            char c = raw[at++];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0 || ++digits > 16 || (digits == 2 && size == 0)) return -1;
            size = size * 16 + (uint64_t)digit;
        }
        if (digits == 0 || at + 2 > length || raw[at + 1] != '\n') return -1;
        at += 2;
        if (size == 0) return at + 2 == length && raw[at] == '\r' && raw[at + 1] == '\n' ? (int64_t)written : -1;
        if (size > length - at || length - at - size < 2 || raw[at + size] != '\r' || raw[at + size + 1] != '\n')
            return -1;
        std::memcpy(out + written, raw + at, size);
        written += size;
        at += size + 2;
    }
}

// Renders the input into halves; the page (unframed) in page, its length.
uint64_t render(char* a, char* b, uint64_t half_size, const uint8_t* bytes, uint64_t length, char* capture,
                char* page)
{
    char* text = a + half_size - 4 - length;
    std::memcpy(text, bytes, length);
    std::memset(text + length, 0, 4);
    page_output out;
    page_output_capture(&out, a, b, half_size, capture, capture_size);
    int result = render_markdown_page(&out, "f.md", 4, (length & 1) != 0, text, length);
    require(result == 0 && !out.failed);
    if (out.chunks == 0) {
        std::memcpy(page, capture, out.capture_length);
        return out.capture_length;
    }
    int64_t n = unchunk(capture, out.capture_length, page);
    require(n > 0);
    return (uint64_t)n;
}

// UTF-16 with surrogates may grow to twice its size in UTF-8; small halves
// then cut it where one large buffer does not.
bool may_be_cut(const uint8_t* bytes, uint64_t length)
{
    if (length < 2 || !((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF)))
        return false;
    const uint64_t high = bytes[0] == 0xFF ? 1 : 0;
    for (uint64_t i = 2 + high; i < length; i += 2)
        if ((bytes[i] & 0xF8) == 0xD8) return true;
    return false;
}

bool frames_a_page(const char* page, uint64_t length)
{
    const uint64_t start = sizeof(page_start) - 1;
    const uint64_t end = sizeof(page_end) - 1;
    return length >= start + end && std::memcmp(page, page_start, start) == 0 &&
           std::memcmp(page + length - end, page_end, end) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 1 || size - 1 > longest_text) return -1;
    const uint64_t length = size - 1;
    const uint8_t* bytes = input + 1;

    static char* small_end_a = guarded_end(small_half_most);
    static char* small_end_b = guarded_end(small_half_most);
    static char* large_end = guarded_end(large_half);
    static char* capture = (char*)malloc(capture_size);
    static char* small_page = (char*)malloc(capture_size);
    static char* large_page = (char*)malloc(capture_size);

    // The smallest halves the view accepts for this length, and a little more.
    uint64_t half_size = body_offset + 2 * length + 1;
    while (!markdown_fits(length, half_size)) ++half_size;
    half_size += (uint64_t)input[0] * 64;
    require(half_size <= small_half_most);

    char* a = fresh_half(small_end_a, half_size, small_half_most);
    char* b = fresh_half(small_end_b, half_size, small_half_most);
    uint64_t small_length = render(a, b, half_size, bytes, length, capture, small_page);
    require(frames_a_page(small_page, small_length));

    char* one = fresh_half(large_end, large_half, large_half);
    uint64_t large_length = render(one, one, large_half, bytes, length, capture, large_page);
    require(frames_a_page(large_page, large_length));
    if (!may_be_cut(bytes, length))
        require(large_length == small_length && std::memcmp(small_page, large_page, small_length) == 0);
    return 0;
}
