// What the receive loop calls whenever bytes have arrived: parse them, then
// refuse, redirect or route the request, resolving its path only while no
// configuration reload replaces the settings that path resolution reads, and
// tell the receive loop how the connection goes on.
#include "http/dispatch.h"

#include <cstring>

#include "content/file_delivery.h"
#include "content/path_resolution.h"
#include "core/reload_handshake.h"
#include "core/settings.h"
#include "http/canned_pages.h"
#include "http/exchange.h"
#include "net/receive_loop.h"

namespace {

constexpr char https_scheme[] = "https://";
constexpr uint64_t https_scheme_length = sizeof(https_scheme) - 1;

// GET and HEAD below this prefix go to the built-in handler; the test covers
// these ten bytes only, so "/quillnestx" is built-in too.
constexpr char builtin_space[] = "/quillnest";
constexpr uint64_t builtin_space_length = sizeof(builtin_space) - 1;

bool served_method(int32_t method)
{
    return method == method_get || method == method_head || method == method_post;
}

// An error answer of the dispatcher: the connection ends after it.
void send_error_answer(http_exchange* exchange, int32_t status, bool short_form)
{
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    request->keep_alive = false;
    char* buffer = response->channel->slot_buffer;
    uint64_t built = send_error_page(response, buffer, response->channel->slot_buffer_size, status, false,
                                     request->method == method_head, short_form);
    if (built != 0) send_packet(response, buffer, built, request);
}

// Answers a request that the parser has accepted.
void answer_request(http_exchange* exchange)
{
    connection_slot* slot = exchange->slot;
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;

    // Only the POST echo reads the rest of a body cut short; after any other
    // answer that rest would be parsed as the next request.
    if (request->body_received != 0 && request->method != method_post) request->keep_alive = false;

    if (check_https_upgrade(exchange, slot->receive_begin)) {
        if (request->body_received != 0) request->keep_alive = false;
        send_redirect_page(response, request, slot->receive_begin);
        return;
    }

    // The server is stopping when the handshake is gone.
    if (!reload_enter_resolving(slot->number)) {
        request->keep_alive = false;
        return;
    }
    int resolved = resolve_path(&response->resolved, request);
    reload_leave_resolving(slot->number);

    if (resolved != 0) {
        if (response->resolved.redirect) {
            if (request->body_received != 0) request->keep_alive = false;
            send_redirect_page(response, request, request->path);
        } else {
            send_error_answer(exchange, status_internal_error, false);
        }
        return;
    }

    switch (request->method) {
    case method_get:
    case method_head:
        if (std::strncmp(request->path, builtin_space, builtin_space_length) == 0)
            serve_builtin(exchange);
        else
            serve_file(exchange);
        return;
    case method_post:
        serve_builtin(exchange);
        return;
    default:
        send_error_answer(exchange, status_method_not_allowed, true);
        return;
    }
}

// Where the next request begins when it is already in the buffer behind the
// answered one; null when there is none or the body was cut short.
char* next_request(const request_record* request, const char* data, uint64_t length)
{
    if (request->body_received != 0 || !request->body_start || request->content_length < 0) return nullptr;
    const char* end = data + length;
    if (request->body_start < data || request->body_start > end ||
        (uint64_t)request->content_length > (uint64_t)(end - request->body_start))
        return nullptr;
    char* next = request->body_start + request->content_length;
    return next < end ? next : nullptr;
}

} // namespace

uint64_t upgrade_host_hash(const char* host, uint64_t length)
{
    uint64_t accumulator = 0;
    uint64_t word = 0;
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t byte = (uint8_t)host[i];
        if ((i & 15) >= 8) {
            // The halves are swapped as on a signed byte: from 0x80 on, the
            // sign fills the upper half and the lower half is lost.
            uint32_t upper = byte & 0xF0;
            uint32_t swapped = byte < 0x80 ? (upper >> 4) | ((byte & 0x0Fu) << 4) : 0xF0 | (upper >> 4);
            byte = (uint8_t)(swapped + i);
        }
        word |= (uint64_t)byte << (8 * (i & 7));
        if ((i & 7) == 7) {
            accumulator ^= word;
            word = 0;
        }
    }
    return accumulator ^ word;
}

bool check_https_upgrade(http_exchange* exchange, char* buffer)
{
    connection_slot* slot = exchange->slot;
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    if (response->secure || !g_upgrade_https_in_effect.load() || request->host == nullptr ||
        !request->upgrade_insecure || request->hostname_length > response->channel->slot_buffer_size ||
        !served_method(request->method))
        return false;

    const char* host = request->host;
    uint64_t name_length = 0;
    while (name_length < request->hostname_length && host[name_length] != ':') ++name_length;

    uint64_t hash = upgrade_host_hash(host, name_length);
    uint64_t cached = exchange->upgrade_verdict;
    // A reading of the settings may have changed the certificate or the
    // setting: a verdict from before it is not used.
    uint64_t generation = reload_generation() + 1;
    bool verdict;
    if (exchange->upgrade_generation != generation || ((hash ^ cached) & ~1ULL) != 0) {
        verdict = tls_certificate_covers(host, name_length);
        exchange->upgrade_verdict = (hash & ~1ULL) | (verdict ? 1 : 0);
        exchange->upgrade_generation = generation;
    } else {
        verdict = (cached & 1) != 0;
    }
    if (!verdict) return false;

    // Host value and target live in the receive buffer that the URL is about
    // to overwrite, so the URL is put together in the slot buffer first.
    uint64_t length = https_scheme_length + request->hostname_length + request->path_length;
    if (request->query != nullptr) length += 1 + request->query_length;
    if (buffer < slot->receive_begin || buffer >= slot->receive_end ||
        length + 1 > (uint64_t)(slot->receive_end - buffer) || length + 1 > response->channel->slot_buffer_size)
        return false;
    char* url = response->channel->slot_buffer;
    char* p = url;
    std::memcpy(p, https_scheme, https_scheme_length);
    p += https_scheme_length;
    std::memcpy(p, host, request->hostname_length);
    p += request->hostname_length;
    std::memcpy(p, request->path, request->path_length);
    p += request->path_length;
    if (request->query != nullptr) {
        *p++ = '?';
        std::memcpy(p, request->query, request->query_length);
        p += request->query_length;
    }
    *p = '\0';
    std::memcpy(buffer, url, length + 1);
    return true;
}

void dispatch_request(connection_slot* slot, char* data, uint64_t length, bool continuing,
                      dispatch_verdict* verdict)
{
    http_exchange* exchange = slot->exchange;
    request_record* request = &exchange->request;
    response_record* response = &exchange->response;
    *verdict = dispatch_verdict{};
    if (!continuing) reset_request(request);
    parse_request(request, data, length, slot->receive_end);
    // Once the header block has named a body, the request has the time it
    // needs to arrive at a reasonable rate.
    if (request->body_start && request->content_length > 0)
        connection_allow_body(slot, (uint64_t)request->content_length);
    response->secure = slot->tls.ssl != nullptr;
    // A content coding chosen for one file never carries over to the next answer.
    response->encoding_br = false;
    response->encoding_gzip = false;
    response->negotiated = false;

    if (request->refused_method) {
        send_error_answer(exchange, status_method_not_allowed, true);
    } else if (!request->accepted) {
        if (!request->complete) {
            // Incomplete: more bytes go behind these. Dropped: the
            // connection ends, since what follows cannot be framed.
            verdict->receive_at = request->pending_end;
            return;
        }
        slot->tls.abortive_close.store(true);
        send_error_answer(exchange, status_bad_request, true);
    } else {
        answer_request(exchange);
    }
    verdict->keep_open = request->keep_alive;
    if (verdict->keep_open) verdict->next_request = next_request(request, data, length);
}
