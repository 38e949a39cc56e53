// The two ways out of a generated page. To a client: every chunk but the
// last through flush_chunk, the last one (or the whole page with a status of
// its own) here. To a capture buffer: the same body framing without a header
// block, so that tests, the fuzzer and the benchmark see what a client would.
#include "pages/page_output.h"

#include <cstring>

#include "content/mime_types.h"
#include "http/canned_pages.h"
#include "http/request.h"
#include "http/response.h"
#include "net/send_path.h"

namespace {

constexpr char page_charset[] = "utf-8";
constexpr char last_chunk[] = "\r\n0\r\n\r\n";
constexpr uint64_t last_chunk_length = sizeof(last_chunk) - 1;

// Lower-case hexadecimal without leading zeros; the digit count (at most 16).
uint64_t hex_digits(char* out, uint64_t value)
{
    char digits[16];
    uint64_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value != 0);
    for (uint64_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

bool capture_append(page_output* out, const char* data, uint64_t length)
{
    if (out->capture_capacity - out->capture_length < length) {
        out->failed = true;
        out->stop = true;
        return false;
    }
    std::memcpy(out->capture + out->capture_length, data, length);
    out->capture_length += length;
    return true;
}

// "size CR LF data CR LF" of one chunk into the capture.
bool capture_chunk(page_output* out, const char* data, uint64_t length)
{
    char line[18];
    uint64_t digits = hex_digits(line, length);
    line[digits] = '\r';
    line[digits + 1] = '\n';
    return capture_append(out, line, digits + 2) && capture_append(out, data, length) &&
           capture_append(out, "\r\n", 2);
}

// A request line without a version asks for the bytes alone: no header
// block and no chunk framing, which such a client could not take apart.
bool send_bare(page_output* out, const char* data, uint64_t length)
{
    if (length == 0) return true;
    if (!send_packet(out->response, data, length, out->request)) {
        out->failed = true;
        out->stop = true;
        return false;
    }
    return true;
}

// The page fitted into one half: one answer with its length, ranges applied.
bool finish_whole(page_output* out, char* body, char* write)
{
    response_record* response = out->response;
    request_record* request = out->request;
    const uint64_t size = (uint64_t)(write - body);
    const bool head = request->method == method_head;
    if (request->version == version_none) return head || send_bare(out, body, size);

    byte_range range{request->range_first, request->range_last};
    int32_t status = status_ok;
    if (request->range_unit == 1 && size != 0) {
        status = page_range_status(size, &range.first, &range.last);
        request->range_first = range.first;
        request->range_last = range.last;
    }
    char* base = response->channel->slot_buffer;
    uint64_t head_length = build_response_headers(response, base, body_offset, status, mime_text_html,
                                                  size, request->keep_alive, false, &range, nullptr,
                                                  nullptr, page_charset, nullptr);
    if (head_length == 0) {
        // Nothing can be sent for this answer; the client must not wait for one.
        request->keep_alive = false;
        return true;
    }
    if (head) {
        if (!send_packet(response, base, head_length, request)) out->failed = true;
        return !out->failed;
    }
    uint64_t first = 0;
    uint64_t count = size;
    if (status == status_partial_content || status == status_range_not_satisfiable) {
        first = range.first;
        count = range.last - range.first + 1;
    }
    // The header block ends where the bytes to send begin, so both leave in one packet.
    char* data = body + first;
    std::memmove(data - head_length, base, head_length);
    if (!send_packet(response, data - head_length, head_length + count, request)) out->failed = true;
    return !out->failed;
}

// Chunks went out before: the rest as the last data chunk and the
// terminating chunk, in one packet.
bool finish_chunked(page_output* out, char* body, char* write)
{
    const uint64_t size = (uint64_t)(write - body);
    if (out->request->version == version_none) return send_bare(out, body, size);
    char* start;
    uint64_t length;
    if (size != 0) {
        char hex[16];
        uint64_t digits = hex_digits(hex, size);
        start = body - 2 - digits;
        std::memcpy(start, hex, digits);
        body[-2] = '\r';
        body[-1] = '\n';
        std::memcpy(write, last_chunk, last_chunk_length);
        length = (uint64_t)(write + last_chunk_length - start);
    } else {
        // The chunk before ended with its CR LF: the terminating chunk alone.
        start = write;
        std::memcpy(start, last_chunk + 2, last_chunk_length - 2);
        length = last_chunk_length - 2;
    }
    if (!send_packet(out->response, start, length, out->request)) out->failed = true;
    return !out->failed;
}

} // namespace

void page_output_socket(page_output* out, response_record* response, request_record* request)
{
    *out = page_output{};
    out->sink = page_to_socket;
    out->response = response;
    out->request = request;
}

void page_output_capture(page_output* out, char* half_a, char* half_b, uint64_t half_size,
                         char* capture, uint64_t capture_capacity)
{
    *out = page_output{};
    out->sink = page_to_capture;
    out->halves[0] = half_a;
    out->halves[1] = half_b;
    out->half_size = half_size;
    out->capture = capture;
    out->capture_capacity = capture_capacity;
}

char* page_buffer(const page_output* out)
{
    return out->sink == page_to_socket ? out->response->channel->slot_buffer : out->halves[out->current];
}

uint64_t page_buffer_size(const page_output* out)
{
    return out->sink == page_to_socket ? out->response->channel->slot_buffer_size : out->half_size;
}

bool page_flush(page_output* out, char* write)
{
    if (out->stop) return false;
    char* body = page_buffer(out) + body_offset;
    const uint64_t size = (uint64_t)(write - body);
    if (out->sink == page_to_capture) {
        if (size == 0) return true;
        if (!capture_chunk(out, body, size)) return false;
        ++out->chunks;
        out->current ^= 1;
        return true;
    }
    request_record* request = out->request;
    if (request->version == version_none) {
        if (request->method == method_head) {
            // Without a header block a HEAD answer has nothing to send at all.
            out->stop = true;
            return false;
        }
        if (!send_bare(out, body, size)) return false;
        ++out->chunks;
        return true;
    }
    char* end = nullptr;
    bool flushing = false;
    if (!flush_chunk(out->response, request, &write, &end, &out->header_sent, &flushing, page_charset)) {
        out->failed = true;
        out->stop = true;
        return false;
    }
    if (size != 0) ++out->chunks;
    // A HEAD request ends with the header block: flush_chunk leaves the flag raised.
    if (flushing) {
        out->stop = true;
        return false;
    }
    return true;
}

bool page_finish(page_output* out, char* write)
{
    if (out->stop) return !out->failed;
    char* body = page_buffer(out) + body_offset;
    if (out->sink == page_to_capture) {
        const uint64_t size = (uint64_t)(write - body);
        if (out->chunks == 0) return capture_append(out, body, size);
        if (size != 0 && !capture_chunk(out, body, size)) return false;
        return capture_append(out, last_chunk + 2, last_chunk_length - 2);
    }
    if (out->chunks == 0 && !out->header_sent) return finish_whole(out, body, write);
    return finish_chunked(out, body, write);
}

bool page_abandon(page_output* out)
{
    if (out->sink != page_to_socket) return true;
    request_record* request = out->request;
    request->keep_alive = false;
    if (out->header_sent || out->chunks != 0 || out->stop || request->version == version_none) return true;
    response_record* response = out->response;
    uint64_t n = send_error_page(response, response->channel->slot_buffer, response->channel->slot_buffer_size,
                                 status_internal_error, false, request->method == method_head, false);
    if (n == 0) return true;
    return send_packet(response, response->channel->slot_buffer, n, request);
}

int32_t page_range_status(uint64_t size, uint64_t* first, uint64_t* last)
{
    int32_t status = status_partial_content;
    if (*last == 0) *last = size - 1;
    if (*first >= size) {
        *first = 0;
        status = status_range_not_satisfiable;
    }
    if (*last > size - 1) *last = size - 1;
    if (*last < *first) {
        *last = size - 1;
        status = status_range_not_satisfiable;
    }
    return status;
}
