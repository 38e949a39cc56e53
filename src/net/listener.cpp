// The listener and the receiving side of a connection: accept on the shared
// listening socket, tell TLS from plain HTTP, receive requests with their time
// limits, keep-alive and pipelining, and close.
#include <cstring>

#include "net/server.h"
#include "os/clock.h"
#include "service/console.h"
#include "service/service.h"

// Receive time-outs.
constexpr uint32_t detect_timeout_ms = 1000;    // TLS detection
constexpr uint32_t request_timeout_ms = 15000;  // a request is awaited or incomplete
constexpr uint32_t idle_timeout_ms = 300000;    // after a complete keep-alive request
// A request other than POST must be complete this long after its deadline was armed.
constexpr uint64_t request_deadline_ns = 30ULL * 1000000000ULL;

// Keep-alive probes of an accepted connection.
constexpr int keepalive_idle_s = 75;
constexpr int keepalive_interval_s = 75;
constexpr int keepalive_count = 4;

static void set_listen_options(G_SOCKET* server, socket_t so)
{
    socket_set_listen_options(so, (int)server->packet_length_rw[0], (int)server->packet_length_rw[1],
                              server->cw_connections);
}

static void set_connection_options(socket_t so)
{
    socket_set_keepalive(so, keepalive_idle_s, keepalive_interval_s, keepalive_count);
}

int run_server(G_SOCKET* server)
{
    socket_t so = socket_tcp();
    if (so == invalid_socket) {
        print_error((uint32_t)socket_last_error(), "socket(AF_INET, cso_type, cso_protocol)");
        return -1;
    }
    set_listen_options(server, so);
    console_printf(":: bind(%hs:%u)  ", "0.0.0.0", (unsigned)server->port);
    if (socket_bind(so, server->addr_local, server->addr_local_port) != 0) {
        print_error((uint32_t)socket_last_error(), "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
        socket_close(so);
        return -1;
    }
    if (socket_listen(so, server->cw_connections) != 0) {
        print_error((uint32_t)socket_last_error(), "listen(so, cw_connections)");
        socket_close(so);
        return -1;
    }
    console_printf("HTTP%s  max connections: %u\n:: quillnest :: waiting for client connection...\n\n",
                   https_ready.load() ? " HTTPS" : "", (unsigned)server->cw_connections);
    so_listen.store(so);

    event_signal(&g_service.listening);
    event_wait(&g_service.go, event_infinite);
    for (uint32_t i = 0; i < server->cw_connections; ++i)
        if (server->slots[i].running.load()) event_signal(&server->slots[i].start);

    event_wait(g_service.service_mode ? &g_service.service_stop : &g_console_stop, event_infinite);
    server->configured.store(false);
    event_signal(&g_service.reload_request);
    console_printf("stopping...\n\n");
    return 0;
}

void close_connection(tls_state* tls)
{
    tls->ssl = nullptr;
    tls->rbio = nullptr;
    tls->wbio = nullptr;
    socket_t so = tls->so.exchange(invalid_socket);
    if (so == invalid_socket) return;
    // An abortive close must not send the end of the data first: the peer
    // would read a clean end and never see the reset.
    if (tls->abortive_close.exchange(false)) {
        socket_set_linger_reset(so);
        socket_shutdown_receive(so);
    } else {
        socket_shutdown(so);
    }
    socket_close(so);
}

static uint64_t deadline_after_now() { return clock_monotonic_ns() + request_deadline_ns; }

// Moves the bytes of the requests that followed the one just answered to the
// buffer start; returns their count, 0 when there are none.
static uint64_t take_pipelined(connection_slot* slot, char* data, uint64_t count)
{
    request_record* request = &slot->request;
    char* end = data + count;
    if (!request->body_start || request->content_length < 0) return 0;
    if (request->body_start < data || request->body_start > end) return 0;
    if ((uint64_t)request->content_length > (uint64_t)(end - request->body_start)) return 0;
    char* next = request->body_start + request->content_length;
    uint64_t rest = (uint64_t)(end - next);
    if (rest == 0) return 0;
    std::memmove(slot->receive_begin, next, rest);
    slot->receive_begin[rest] = 0;
    return rest;
}

static int work_r(connection_slot* slot)
{
    tls_state* tls = &slot->tls;
    request_record* request = &slot->request;
    response_record* response = &slot->response;
    const uint64_t limit = tls->p_recv_size - 1; // room for the NUL behind the data
    char* data = slot->receive_begin;
    uint64_t count = 0;
    bool armed = true;
    // Waiting time of an idle kept connection, counted in receive time-outs:
    // the time-out stays at 15 s, which spares two system calls per request.
    uint32_t idle_ms = 0;
    uint64_t deadline = deadline_after_now();
    int error = 0;
    socket_set_recv_timeout(tls->so.load(), request_timeout_ms);

    reset_request(request);
    response->encoding_br = false;
    response->encoding_gzip = false;
    response->send_result = 0;
    response->send_error = 0;
    response->size_send = 0;

    for (;;) {
        if (g_service.paused.load()) return 0;
        int64_t n;
        if (request->pending_end) {
            uint64_t held = (uint64_t)(request->pending_end - data);
            // The parser accepts a request before the buffer is full; a full
            // buffer here would mean a request the parser cannot finish.
            if (held >= limit) break;
            n = tls_recv(tls, request->pending_end, limit - held);
            if (n > 0) n += (int64_t)held;
        } else {
            data = slot->receive_begin;
            n = tls_recv(tls, data, limit);
        }

        if (n <= 0) {
            error = socket_last_error();
            if (error == 0) error = tls->so_error;
            if (error == 0) error = tls->tls_status;
            if (n == 0 || !slot->running.load() || error == err_conn_aborted || error == err_conn_reset) {
                error = 0;
                break;
            }
            if (error == err_timed_out) {
                if (!armed) {
                    idle_ms += request_timeout_ms;
                    if (idle_ms < idle_timeout_ms) continue;
                } else if (event_wait(&response->send_done, 0) == event_signalled) {
                    tls->abortive_close.store(true);
                    event_signal(&response->send_done);
                    return err_timed_out;
                }
                armed = true;
                deadline = deadline_after_now();
                continue;
            }
            console_printf("\n!! recv(%u)  so %i %i\n", slot->number, tls->so.load(), tls->so_accepted);
            print_error((uint32_t)error, "");
            break;
        }

        count = (uint64_t)n;
        if (!armed) {
            armed = true;
            deadline = deadline_after_now();
        }
        data[count] = 0;

        bool receive_more = false;
        while (!receive_more) {
            dispatch_request(slot, data, count);
            if (response->send_result == -1) goto done;
            if (!request->complete) {
                // Every method but POST must finish its request within the deadline.
                if (armed && request->method < method_patch && clock_monotonic_ns() > deadline) {
                    tls->abortive_close.store(true);
                    return err_timed_out;
                }
                receive_more = true;
                continue;
            }
            if (!request->keep_alive) goto done;
            armed = false;
            idle_ms = 0;
            if (request->body_received != 0 || !request->body_start) {
                receive_more = true;
                continue;
            }
            uint64_t rest = take_pipelined(slot, data, count);
            if (rest == 0) {
                receive_more = true;
                continue;
            }
            data = slot->receive_begin;
            count = rest;
        }
    }
done:
    event_wait(&response->send_done, event_infinite);
    event_signal(&response->send_done);
    return error;
}

static int accept_loop(connection_slot* slot)
{
    tls_state* tls = &slot->tls;
    unsigned char addr_listen[16];
    for (;;) {
        // A slot that is being taken down accepts no further connection.
        if (!slot->running.load()) return -1;
        uint32_t addr_listen_size = sizeof(addr_listen);
        socket_t s = socket_accept(so_listen.load(), addr_listen, &addr_listen_size);
        if (s == invalid_socket) {
            int error = socket_last_error();
            if (socket_accept_retry(error)) continue;
            if (error == err_invalid || error == err_bad_socket) {
                socket_t listener = so_listen.exchange(invalid_socket);
                if (listener != invalid_socket) {
                    socket_shutdown(listener);
                    socket_close(listener);
                }
            }
            if (stopping.exchange(true)) return -1;
            slot->running.store(false);
            socket_t listener = so_listen.load();
            if (listener != invalid_socket) {
                console_printf("!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%016llx, "
                               "&addr_listen_size:%u)\n",
                               slot->number, listener, (unsigned long long)(uintptr_t)addr_listen,
                               (unsigned)sizeof(addr_listen));
                print_error((uint32_t)error, nullptr);
            }
            return -1;
        }

        slot->connected.store(true);
        set_connection_options(s);
        socket_set_recv_timeout(s, detect_timeout_ms);
        tls->so_accepted = s;
        tls->so.store(s);

        // The first six bytes tell a TLS ClientHello from plain HTTP; they stay
        // in the socket for whoever reads next.
        unsigned char first[6];
        int64_t peeked;
        while ((peeked = socket_peek_all(s, reinterpret_cast<char*>(first), sizeof(first))) <= 0) {
            tls->so_error = socket_last_error();
            if (tls->so_error != err_interrupted) break;
            socket_clear_error();
        }
        bool client_hello = peeked == 6 && first[0] == 0x16 && first[5] == 0x01;
        // Without a certificate a ClientHello is closed unanswered; it is never
        // handed to the plain receive loop.
        if (!client_hello) work_r(slot);

        close_connection(tls);
        slot->connected.store(false);
    }
}

void bootstrap_r(connection_slot* slot)
{
    if (event_wait(&slot->start, event_infinite) == event_signalled && slot->start.created.load())
        accept_loop(slot);
    slot->running.store(false);
    close_connection(&slot->tls);
}
