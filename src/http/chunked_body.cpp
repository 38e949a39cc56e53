#include <cstring>

#include "content/mime_types.h"
#include "http/request.h"
#include "http/response.h"
#include "net/send_path.h"

namespace {

// Writes value in lower-case hexadecimal without leading zeros; returns the
// digit count (at most 16).
uint64_t format_hex(char* out, uint64_t value)
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

// The page cannot go on and nothing was sent: the client would wait for the
// rest of an answer that never comes, so the connection ends after this request.
bool abandon_page(request_record* request)
{
    request->keep_alive = false;
    return false;
}

} // namespace

bool flush_chunk(response_record* response, request_record* request, char** write, char** end,
                 bool* header_sent, bool* flushing, const char* charset)
{
    char* base = response->channel->slot_buffer;
    char* body = base + body_offset;
    char* data_end = *write;
    *flushing = true;
    if (response->channel->slot_buffer_size < body_offset + 2 || data_end < body ||
        (uint64_t)(data_end - body) > response->channel->slot_buffer_size - body_offset - 2)
        return abandon_page(request);
    data_end[0] = '\r';
    data_end[1] = '\n';

    uint64_t head = 0;
    if (!*header_sent) {
        *header_sent = true;
        head = build_response_headers(response, base, body_offset, status_ok, mime_text_html,
                                      content_length_chunked, request->keep_alive, false, nullptr,
                                      nullptr, nullptr, charset, nullptr);
        if (head == 0) return abandon_page(request);
        if (request->method == method_head) return send_packet(response, base, head, request);
    }

    uint64_t size = (uint64_t)(data_end - body);
    const char* packet;
    uint64_t packet_size;
    if (size == 0) {
        // A chunk of size 0 ends a chunked body, and whatever the page sends
        // afterwards would reach the client as garbage: an empty flush sends at
        // most the header block.
        if (head == 0) {
            *flushing = false;
            return true;
        }
        packet = base;
        packet_size = head;
    } else {
        char hex[16];
        uint64_t digits = format_hex(hex, size);
        if (head + digits + 2 > body_offset) return abandon_page(request);
        // Header block and size line end right where the data begins, so that
        // they leave in one packet without the data being moved.
        char* start = body - 2 - digits - head;
        std::memmove(start, base, head);
        std::memcpy(start + head, hex, digits);
        body[-2] = '\r';
        body[-1] = '\n';
        packet = start;
        packet_size = (uint64_t)(data_end + 2 - start);
    }
    if (!send_packet(response, packet, packet_size, request)) return false;
    *flushing = false;
    *write = response->channel->slot_buffer + body_offset;
    *end = response->channel->slot_buffer + response->channel->slot_buffer_size;
    return true;
}
