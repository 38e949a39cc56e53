// Where a generated page goes: to the client, in chunks through flush_chunk
// and one last send, or into a caller's capture buffer with the same chunk
// framing, so that the page code can run without a socket. This record is the
// page code's only contact with the response and send machinery.
#pragma once
#include <cstdint>

struct response_record;
struct request_record;

enum page_sink : uint8_t {
    page_to_socket,  // chunks and the last send go to the slot's sending thread
    page_to_capture, // chunks are appended to `capture`; nothing is sent
};

struct page_output {
    page_sink sink;              // chosen once, before the page starts
    response_record* response;   // socket: the slot's answer with its send buffer halves
    request_record* request;     // socket: method, version, keep-alive and range of the request
    char* halves[2];             // capture: the two buffer halves; both may be the same buffer
    uint64_t half_size;          // capture: bytes of each half
    uint32_t current;            // capture: index of the half being filled
    char* capture;               // capture: where the framed page is appended
    uint64_t capture_capacity;   // capture: bytes `capture` holds
    uint64_t capture_length;     // capture: bytes appended so far
    uint32_t chunks;             // data chunks flushed so far
    bool header_sent;            // socket: the chunked header block went out
    bool stop;                   // nothing more may be written: HEAD after its header, a failed
                                 // send, or a full capture
    bool failed;                 // a send failed or the capture overflowed
};

// Sets up a page for the slot's answer to request. Receiving thread only.
void page_output_socket(page_output* out, response_record* response, request_record* request);
// Sets up a page rendered into two halves of half_size bytes each (the same
// pointer twice for one buffer), its framed bytes appended to capture.
void page_output_capture(page_output* out, char* half_a, char* half_b, uint64_t half_size,
                         char* capture, uint64_t capture_capacity);

// The buffer half being filled and its size. The body begins body_offset
// bytes into it; the bytes in front of that belong to the sender.
char* page_buffer(const page_output* out);
uint64_t page_buffer_size(const page_output* out);

// Sends the body from body_offset up to write as one chunk; afterwards
// page_buffer may name the other half. False when the page must stop (see
// `stop`); `failed` tells whether that was a failure.
bool page_flush(page_output* out, char* write);

// Ends the page whose body runs from body_offset up to write, with at least 8
// writable bytes behind write: the last chunk and the terminating chunk once
// chunks went out, else one answer (200, or 206/416 for a byte range, the
// header alone for HEAD, no header without a version). False when a send failed.
bool page_finish(page_output* out, char* write);

// Answers "500 Internal Server Error" for a page that could not begin and
// ends the connection after it; nothing happens once a part went out. False
// when that send failed.
bool page_abandon(page_output* out);

// Applies the request's byte range to a body of size bytes as file delivery
// does; returns the status index and leaves the corrected range in first, last.
int32_t page_range_status(uint64_t size, uint64_t* first, uint64_t* last);
