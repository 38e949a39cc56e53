// libFuzzer target for the request parser. Each input is parsed at once and
// again in pieces, as the receive loop feeds it, inside a 65536-byte receive
// buffer that ends at an inaccessible page; the bytes behind the received data
// are poisoned, so a read past the NUL is caught wherever the data lies.
//
// Input: byte 0 chooses where the data lies and how it is cut, bytes 1 to 4
// give cut points as fractions of the length, the rest is what was received.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/request.h"

namespace {

constexpr uint64_t receive_size = 65536;
constexpr uint64_t control_bytes = 5;
// Single-byte receives cost one call per byte; longer inputs are cut at the
// chosen points only.
constexpr uint64_t longest_byte_by_byte = 4096;

void require(bool condition)
{
    if (!condition) __builtin_trap();
}

char* receive_buffer()
{
    static char* buffer = [] {
        const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
        void* p = mmap(nullptr, receive_size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED) abort();
        char* b = (char*)p;
        if (mprotect(b + receive_size, page, PROT_NONE) != 0) abort();
        return b;
    }();
    return buffer;
}

// Before a run every byte of the buffer is unreadable to the parser.
void fresh_buffer(char* buffer)
{
    ASAN_UNPOISON_MEMORY_REGION(buffer, receive_size);
    std::memset(buffer, 0x5a, receive_size);
    ASAN_POISON_MEMORY_REGION(buffer, receive_size);
}

// The receive loop has written `length` bytes at data and a NUL behind them;
// nothing after that NUL may be touched.
void receive_until(char* data, const uint8_t* bytes, uint64_t from, uint64_t length)
{
    ASAN_UNPOISON_MEMORY_REGION(data + from, length + 1 - from);
    std::memcpy(data + from, bytes + from, length - from);
    data[length] = 0;
}

bool inside(const char* p, const char* data, const char* end)
{
    return p == nullptr || (p >= data && p <= end);
}

bool method_token_is(const char* data, const char* name)
{
    return std::strcmp(data, name) == 0;
}

// What every call must leave behind, and what an accepted request must satisfy.
void check(const request_record& r, bool result, char* data, uint64_t length, char* buffer_end)
{
    const char* end = data + length;
    const char* const pointers[] = {
        r.accept, r.accept_encoding, r.accept_language, r.path, r.authority, r.cookie, r.content_type,
        r.forwarded_for, r.from, r.host, r.http2_settings, r.if_modified_since, r.if_none_match,
        r.origin, r.pragma, r.query, r.referer, r.scheme, r.sec_websocket_extensions,
        r.sec_websocket_key, r.sec_websocket_key1, r.sec_websocket_key2, r.sec_websocket_protocol,
        r.user_agent, r.via, r.x_playback_session_id, r.x_forwarded_for, r.resume_at, r.pending_end,
        r.line_begin, r.body_start,
    };
    for (const char* p : pointers) require(inside(p, data, end));
    require(r.scan_limit == nullptr || (r.scan_limit >= data && r.scan_limit <= buffer_end));
    require(r.saved_byte == 0);
    require(r.content_length >= 0 && r.content_length <= INT32_MAX);

    if (!result) {
        require(!r.accepted);
        if (r.complete) require(r.pending_end == nullptr);
        if (!r.complete && r.pending_end) require(r.pending_end == end && r.line_begin == data);
        return;
    }
    require(r.complete && !r.refused_method && r.pending_end == nullptr);
    require(r.accepted == (r.version != version_http11 || r.host != nullptr));
    require(r.version >= version_none && r.version <= version_http11);
    switch (r.method) {
    case method_get: require(method_token_is(data, "GET")); break;
    case method_head: require(method_token_is(data, "HEAD")); break;
    case method_post: require(method_token_is(data, "POST")); break;
    default: require(false);
    }
    require(r.path != nullptr && r.path[0] == '/');
    require(std::strlen(r.path) == r.path_length);
    require(r.path_length <= r.target_length);
    if (r.query) {
        require(r.query == r.path + r.path_length + 1);
        require(r.query_length == r.target_length - r.path_length - 1);
        require(std::strlen(r.query) == r.query_length);
    } else {
        require(r.path_length == r.target_length);
    }
    if (r.authority) require(r.authority + r.authority_length == r.path);
    if (r.host) require(std::strlen(r.host) == r.hostname_length);
    // request line and header block fit into 8192 bytes
    require(r.body_start != nullptr && r.body_start - data <= (int64_t)request_scan_limit);
    uint64_t present = (uint64_t)(end - r.body_start);
    if (r.body_received == 0) {
        require((uint64_t)r.content_length <= present);
    } else {
        require(r.body_received == present && present < (uint64_t)r.content_length);
        require(buffer_end - end <= 16);
    }
}

bool same(const request_record& a, const request_record& b)
{
    return a.parse_state == b.parse_state && a.complete == b.complete && a.accepted == b.accepted &&
           a.refused_method == b.refused_method && a.path_length == b.path_length &&
           a.query_length == b.query_length && a.target_length == b.target_length &&
           a.accepts_br == b.accepts_br && a.accepts_gzip == b.accepts_gzip &&
           a.accepts_webp == b.accepts_webp && a.conn_http2_settings == b.conn_http2_settings &&
           a.keep_alive == b.keep_alive && a.conn_upgrade == b.conn_upgrade &&
           a.query_debug == b.query_debug && a.query_download == b.query_download &&
           a.query_view == b.query_view && a.authority_length == b.authority_length &&
           a.hostname_length == b.hostname_length && a.max_age == b.max_age &&
           a.body_received == b.body_received && a.content_length == b.content_length &&
           a.method == b.method && a.version == b.version && a.upgrade == b.upgrade &&
           a.upgrade_insecure == b.upgrade_insecure && a.websocket_version == b.websocket_version &&
           a.range_first == b.range_first && a.range_last == b.range_last &&
           a.range_unit == b.range_unit && a.accept == b.accept &&
           a.accept_encoding == b.accept_encoding && a.accept_language == b.accept_language &&
           a.path == b.path && a.authority == b.authority && a.cookie == b.cookie &&
           a.content_type == b.content_type && a.forwarded_for == b.forwarded_for &&
           a.from == b.from && a.host == b.host && a.http2_settings == b.http2_settings &&
           a.if_modified_since == b.if_modified_since && a.if_none_match == b.if_none_match &&
           a.origin == b.origin && a.pragma == b.pragma && a.query == b.query &&
           a.referer == b.referer && a.scheme == b.scheme &&
           a.sec_websocket_extensions == b.sec_websocket_extensions &&
           a.sec_websocket_key == b.sec_websocket_key &&
           a.sec_websocket_key1 == b.sec_websocket_key1 &&
           a.sec_websocket_key2 == b.sec_websocket_key2 &&
           a.sec_websocket_protocol == b.sec_websocket_protocol && a.user_agent == b.user_agent &&
           a.via == b.via && a.x_playback_session_id == b.x_playback_session_id &&
           a.x_forwarded_for == b.x_forwarded_for && a.resume_at == b.resume_at &&
           a.pending_end == b.pending_end && a.line_begin == b.line_begin &&
           a.body_start == b.body_start && a.saved_byte == b.saved_byte &&
           a.scan_limit == b.scan_limit;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < control_bytes || size - control_bytes >= receive_size) return -1;
    const uint8_t mode = input[0];
    const uint8_t* bytes = input + control_bytes;
    const uint64_t length = size - control_bytes;

    char* buffer = receive_buffer();
    char* buffer_end = buffer + receive_size;
    // Mostly at the buffer start, as the receive loop places a request; else
    // close to the buffer end (up to 31 bytes spare), where the body room and
    // the 8192-byte limit meet the end of the buffer.
    char* data = buffer;
    if ((mode & 3) == 3) data = buffer_end - length - 1 - std::min<uint64_t>(mode >> 3, receive_size - 1 - length);

    static char whole_bytes[receive_size];
    static request_record whole;
    static request_record split;

    fresh_buffer(buffer);
    receive_until(data, bytes, 0, length);
    reset_request(&whole);
    const bool whole_result = parse_request(&whole, data, length, buffer_end);
    check(whole, whole_result, data, length, buffer_end);
    std::memcpy(whole_bytes, data, length + 1);

    // The same bytes again, arriving in pieces; each call sees only what has
    // arrived. The first verdict ends the request, as in the receive loop.
    uint64_t cuts[5];
    uint64_t cut_count = 0;
    for (uint64_t i = 1; i < control_bytes; ++i) cuts[cut_count++] = input[i] * length / 255;
    for (uint64_t i = 1; i < cut_count; ++i)
        for (uint64_t j = i; j > 0 && cuts[j - 1] > cuts[j]; --j) std::swap(cuts[j - 1], cuts[j]);
    cuts[cut_count++] = length;
    const bool byte_by_byte = (mode & 4) != 0 && length <= longest_byte_by_byte;

    fresh_buffer(buffer);
    reset_request(&split);
    bool split_result = false;
    uint64_t received = 0;
    uint64_t next_cut = 0;
    for (;;) {
        // Cut points may repeat: a call may see no new byte at all.
        uint64_t target = byte_by_byte ? std::min(received + 1, length) : cuts[next_cut++];
        receive_until(data, bytes, received, target);
        received = target;
        if (!split.pending_end) reset_request(&split);
        split_result = parse_request(&split, data, received, buffer_end);
        check(split, split_result, data, received, buffer_end);
        if (!split.pending_end || received == length) break;
    }
    require(split_result == whole_result);
    // Within 16 bytes of the buffer end a body is served as far as it came, so
    // the pieces may stop earlier with fewer body bytes than the whole.
    if (split.body_received != 0 && received < length) {
        require(whole.body_received == 0 || whole.body_received > split.body_received);
        split.body_received = whole.body_received;
    }
    require(same(split, whole));
    require(std::memcmp(data, whole_bytes, received) == 0);
    return 0;
}
