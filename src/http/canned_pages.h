// The fixed answers: error pages in their HTML and short text forms, the
// "302 Found" page, the built-in URL space under "/quillnest" (assets, the
// greeting page and the echo of POST bodies) and one built-in asset.
#pragma once
#include <cstdint>

struct response_record;
struct request_record;
struct http_exchange;
struct embedded_file;

// Builds header block and body of an error page at buffer; the bytes built
// (the header block alone when header_only), 0 when it does not fit. The
// caller sends them.
uint64_t send_error_page(response_record* response, char* buffer, uint64_t capacity, int32_t status,
                         bool keep_alive, bool header_only, bool short_form);
// Sends "302 Found" to url (Location and body); the result of send_packet.
bool send_redirect_page(response_record* response, request_record* request, const char* url);
// Answers GET and HEAD below "/quillnest" and every POST; false when a send failed.
bool serve_builtin(http_exchange* exchange);
// Answers with one built-in asset (304 when If-Modified-Since matches its date).
bool serve_asset(response_record* response, request_record* request, const embedded_file* asset);
