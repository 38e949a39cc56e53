// The request record: a request cut in place inside the slot's receive buffer.
// Every pointer points into that buffer and stays valid until the next request
// of the slot is parsed.
#pragma once
#include <cstdint>

// Index of the method in the method table.
enum : int32_t {
    method_unknown = -1,
    method_connect = 0,
    method_delete = 1,
    method_get = 2,
    method_head = 3,
    method_options = 4,
    method_patch = 5,
    method_post = 6,
    method_put = 7,
    method_trace = 8,
};

// Index of the version in the version table; -1 when the line has none.
enum : int32_t { version_none = -1, version_http10 = 0, version_http11 = 1 };

// A request line plus header block has at most this many bytes (hard limit).
constexpr uint64_t request_scan_limit = 8192;

struct request_record {
    int32_t parse_state;          // 1 method token, 2 awaiting end of request line, 0 after it
    bool complete;                // a verdict was reached (complete or rejected)
    bool accepted;                // complete and may be served
    bool refused_method;          // a known method that is not served (405)
    uint64_t path_length;         // bytes of the path, without "?" and query
    uint64_t query_length;        // bytes of the query, without the "?"
    uint64_t target_length;       // bytes of the request target
    bool accepts_br;              // Accept-Encoding contains "br"
    bool accepts_gzip;            // Accept-Encoding contains "gzip"
    bool accepts_webp;            // Accept contains "webp"
    bool conn_http2_settings;     // Connection token "http2-settings"
    bool keep_alive;              // Connection token "keep-alive": keep the connection open
    bool conn_upgrade;            // Connection token "upgrade"
    bool query_debug;             // query is exactly "dbg" or "debug"
    bool query_download;          // query begins with "down" or "download", then end or "&"
    bool query_view;              // query begins with "view", then end or "&"
    uint64_t authority_length;    // absolute-form target: bytes of the authority
    uint64_t hostname_length;     // bytes of the Host value
    int32_t max_age;              // Cache-Control max-age
    uint64_t body_received;       // body bytes present when the body was cut short, else 0
    int64_t content_length;       // Content-Length as a signed 32-bit decimal, widened
    int32_t method;               // method table index, method_unknown when unknown
    int32_t version;              // version table index, version_none when absent
    uint32_t upgrade;             // Upgrade: 0 none or unknown, 1 "h2c", 2 "websocket"
    bool upgrade_insecure;        // Upgrade-Insecure-Requests begins with "1"
    int32_t websocket_version;    // Sec-WebSocket-Version
    uint64_t range_first;         // first byte of a "bytes" range, 0 when absent
    uint64_t range_last;          // last byte of a "bytes" range, 0 when absent or empty
    int32_t range_unit;           // 1 when the Range unit is "bytes"
    char* accept;                 // header values, lower-cased, NUL-terminated
    char* accept_encoding;
    char* accept_language;
    char* path;                   // the request target; after parsing the path alone
    char* authority;              // authority of an absolute-form target, else null
    char* cookie;
    char* content_type;
    char* forwarded_for;          // "for" parameter of Forwarded
    char* from;
    char* host;
    char* http2_settings;
    char* if_modified_since;
    char* if_none_match;
    char* origin;
    char* pragma;
    char* query;                  // first byte after "?", null without a query
    char* referer;
    char* scheme;
    char* sec_websocket_extensions;
    char* sec_websocket_key;
    char* sec_websocket_key1;
    char* sec_websocket_key2;
    char* sec_websocket_protocol;
    char* user_agent;
    char* via;
    char* x_playback_session_id;
    char* x_forwarded_for;
    char* resume_at;              // where the next call resumes
    char* pending_end;            // end of the data of the last "incomplete" call; null otherwise
    char* line_begin;             // first byte of the request line
    char* body_start;             // first byte after the header block; null until found
    uint8_t saved_byte;           // byte at scan_limit while it is overwritten with NUL
    char* scan_limit;             // line_begin + request_scan_limit
};

// Puts the record into its reset state: everything zero or null, version -1.
void reset_request(request_record* request);

// Parses the request that starts at `data` (the same pointer on every call for
// one request); `length` bytes have arrived and data[length] is NUL; the receive
// buffer ends at `buffer_end`. Returns true for a complete request (check
// `accepted`), false for a rejected one (`complete` set), an incomplete one
// (`complete` clear, `pending_end` set) or a dropped one (`complete` and
// `pending_end` clear). Receiving thread of the slot only.
bool parse_request(request_record* request, char* data, uint64_t length, char* buffer_end);
