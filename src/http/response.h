// The response record and the response header builder. Every answer begins
// with the header block of build_response_headers, written into the slot's
// send buffer half right where it will be sent.
#pragma once
#include <cstdint>

#include "os/clock.h"

struct request_record;
struct embedded_file;

// Status table indices used by the server.
enum : int32_t {
    status_ok = 2,
    status_partial_content = 8,
    status_found = 11,
    status_not_modified = 13,
    status_bad_request = 16,
    status_forbidden = 19,
    status_not_found = 20,
    status_method_not_allowed = 21,
    status_length_required = 27,
    status_range_not_satisfiable = 32,
    status_internal_error = 39,
    status_count = 45,
};

// Generated pages write their body this many bytes into the slot buffer; the
// header block and chunk-size line are moved to end exactly there.
constexpr uint64_t body_offset = 65536;

// content length that selects chunked transfer coding
constexpr uint64_t content_length_chunked = ~0ULL;

struct byte_range {
    uint64_t first; // first byte position
    uint64_t last;  // last byte position
};

struct send_channel;

// The file-system path of a request, built by path resolution in the slot's
// path buffer.
struct resolved_path {
    uint64_t prefix_length;   // UTF-16 units in front of the URL part (root, mapping targets)
    char16_t* path_buffer;    // the slot's path buffer; the finished path starts here
    char16_t* url_part;       // where the URL part begins (always with "/")
    char16_t* path_end;       // the terminating NUL of the finished path
    bool redirect;            // a virtual directory was named without its trailing "/"
    uint64_t url_part_length; // units of the normalised URL part
    uint64_t capacity;        // units of the path buffer
    int32_t type;             // MIME type index; 0 when the extension filter refuses the file
};

struct response_record {
    bool secure;                 // the connection runs over TLS
    bool encoding_br;            // the body is the ".br" variant
    bool encoding_gzip;          // the body is the ".gz" variant
    bool negotiated;             // a file-delivery answer: with min_gz its body depends on
                                 // Accept-Encoding and Accept, which caches must know
    resolved_path resolved;      // the request's file-system path, in the slot's path buffer
    send_channel* channel;       // the slot's send channel: the buffer halves and the packet in flight
};

// Hands `size` bytes at `data` to the slot's sending thread; the response code
// then fills the other half (channel->slot_buffer). False, handing over
// nothing, when an earlier send failed or nothing can be sent any more: the
// request's keep_alive is then cleared so that the connection ends. The
// bytes stay untouched until the next send_packet. Receiving thread only.
bool send_packet(response_record* response, const char* data, uint64_t size, request_record* request);

// Writes the header block into buffer (capacity bytes from buffer). Returns
// the bytes written (a NUL follows when room is left), or 0 when a piece did
// not fit: the rest of the buffer is then zero-filled and nothing is to be sent.
// content_length content_length_chunked selects chunked coding; range,
// write_time (FILETIME), asset, charset and location may each be null.
uint64_t build_response_headers(response_record* response, char* buffer, uint64_t capacity,
                                int32_t status, int32_t type, uint64_t content_length,
                                bool keep_alive, bool short_form, const byte_range* range,
                                const uint64_t* write_time, const embedded_file* asset,
                                const char* charset, const char* location);

// Writes value in decimal and a NUL at *p and leaves *p on the NUL. Returns 0,
// or -1 writing nothing when room is 1 or less or too small for digits and NUL.
int format_decimal(char** p, uint64_t room, uint64_t value);

// Writes an HTTP date ("Thu, 6 Mar 2025 8:05:09 GMT") and a NUL; returns its
// length, 0 when room is below 30.
uint64_t format_http_date(const civil_time* utc, char* buffer, uint64_t room);

// Sends the body gathered since body_offset as one chunk of a chunked "200 OK"
// text/html answer, with the header block first when header_sent is clear.
// On success moves *write and *end to the other half's body; false when the
// send failed (the page then stops).
bool flush_chunk(response_record* response, request_record* request, char** write, char** end,
                 bool* header_sent, bool* flushing, const char* charset);
