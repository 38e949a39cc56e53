// The listener and the life of a connection in its slot: accept on the
// shared listening socket, tell TLS from plain HTTP, serve it, and close it.
#include "net/pressure.h"
#include "net/receive_loop.h"
#include "net/server.h"
#include "os/clock.h"
#include "service/console.h"
#include "service/service.h"

namespace {

// The first bytes of a connection are awaited this long to tell a TLS
// ClientHello from plain HTTP (hard limit); the connection is plain after it.
constexpr uint32_t detect_timeout_ms = 1000;

// Keep-alive probes of an accepted connection.
constexpr int keepalive_idle_s = 75;
constexpr int keepalive_interval_s = 75;
constexpr int keepalive_count = 4;

void set_listen_options(G_SOCKET* server, socket_t so)
{
    socket_set_listen_options(so, (int)server->packet_length_rw[0], (int)server->packet_length_rw[1],
                              server->cw_connections);
}

void set_connection_options(socket_t so)
{
    socket_set_keepalive(so, keepalive_idle_s, keepalive_interval_s, keepalive_count);
}

// Serves one accepted connection, from TLS detection to the end of its last
// request; returns with no packet in flight.
void serve_connection(connection_slot* slot)
{
    tls_state* tls = &slot->tls;
    socket_t s = tls->so.load();
    // The first six bytes tell a TLS ClientHello from plain HTTP; they stay
    // in the socket for whoever reads next.
    unsigned char first[6];
    int64_t peeked;
    while ((peeked = socket_peek_all(s, reinterpret_cast<char*>(first), sizeof(first))) <= 0) {
        tls->so_error.store(socket_last_error());
        if (tls->so_error.load() != err_interrupted) break;
        socket_clear_error();
    }
    bool client_hello = peeked == 6 && first[0] == 0x16 && first[5] == 0x01;
    // Without a certificate a ClientHello is closed unanswered; it is never
    // handed to the plain receive loop.
    if (!client_hello) work_r(slot);
}

int accept_loop(connection_slot* slot)
{
    tls_state* tls = &slot->tls;
    unsigned char addr_listen[16];
    for (;;) {
        slot->phase.store(phase_accepting);
        // A slot that is being taken down accepts no further connection.
        if (!slot->running.load()) return -1;
        uint32_t addr_listen_size = sizeof(addr_listen);
        socket_t s = socket_accept(so_listen.load(), addr_listen, &addr_listen_size);
        if (s == invalid_socket) {
            int error = socket_last_error();
            if (socket_accept_retry(error)) continue;
            if (error == err_invalid || error == err_bad_socket) close_listener();
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

        // The request time of the first request (and of a TLS handshake)
        // runs from the accept.
        uint64_t now = clock_monotonic_ns();
        slot->request_deadline_ns = now + request_time_limit_ns;
        slot->request_bytes.store(0, std::memory_order_relaxed);
        slot->phase_since_ns.store(now, std::memory_order_relaxed);
        slot->phase.store(phase_request);
        slot->connected.store(true);
        tls->so_accepted = s;
        tls->so.store(s);
        tls->bytes_sent.store(0, std::memory_order_relaxed);
        // The teardown may have begun between the accept and now: it found no
        // connection to shut down, so this one is closed unserved.
        if (slot->running.load()) {
            set_connection_options(s);
            socket_set_recv_timeout(s, detect_timeout_ms);
            slot->receive_timeout_ms = detect_timeout_ms;
            serve_connection(slot);
        }
        close_connection(tls);
        slot->connected.store(false);
    }
}

} // namespace

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

    // While waiting for the stop, the listener's thread keeps room for new
    // connections.
    event_t* stop = g_service.service_mode ? &g_service.service_stop : &g_console_stop;
    pressure_watch watch{};
    while (event_wait(stop, pressure_tick_ms) == event_timed_out)
        pressure_relieve(server, &watch, clock_monotonic_ns());
    server->configured.store(false);
    event_signal(&g_service.reload_request);
    console_printf("stopping...\n\n");
    return 0;
}

void bootstrap_r(connection_slot* slot)
{
    if (event_wait(&slot->start, event_infinite) == event_signalled && slot->start.created.load())
        accept_loop(slot);
    slot->running.store(false);
}

void close_listener()
{
    socket_t listener = so_listen.exchange(invalid_socket);
    if (listener == invalid_socket) return;
    socket_shutdown(listener);
    socket_close(listener);
}

void close_connection(tls_state* tls)
{
    tls->ssl = nullptr;
    tls->rbio = nullptr;
    tls->wbio = nullptr;
    socket_t so = tls->so.exchange(invalid_socket);
    if (so == invalid_socket) return;
    // A pressure watch that found the socket live is shutting it down: the
    // number must not be reused before it has done so.
    while (tls->pinned.load() != 0) thread_yield();
    // An abortive close resets the connection: only the receiving direction
    // is shut down first, since a FIN sent ahead of the reset would let the
    // peer see a clean end.
    if (tls->abortive_close.exchange(false)) {
        socket_set_linger_reset(so);
        socket_shutdown_receive(so);
    } else {
        socket_shutdown(so);
    }
    socket_close(so);
}

void shut_connection_down(connection_slot* slot, bool reset)
{
    tls_state* tls = &slot->tls;
    // Pinned before the socket is read: a close that takes the socket after
    // this point waits until the shutdown is done.
    tls->pinned.fetch_add(1);
    socket_t so = tls->so.load();
    if (so != invalid_socket) {
        if (reset) socket_set_linger_reset(so);
        socket_shutdown(so);
    }
    tls->pinned.fetch_sub(1);
}
