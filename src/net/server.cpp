// The server object's slots: built once, buffers carved from the memory
// region, two threads each, taken down in reverse order at shutdown.
#include "net/server.h"

#include <cstring>

#include "core/reload_handshake.h"
#include "os/clock.h"
#include "os/process.h"
#include "service/console.h"

std::atomic<socket_t> so_listen{invalid_socket};
std::atomic<bool> stopping{false};
uint64_t g_page_size;

namespace {

// A slot thread that is still serving 200 ms into the teardown gets this
// much longer after its socket was shut down (soft).
constexpr int64_t busy_thread_join_ms = 2000;

uint64_t align_page(uint64_t n) { return (n + 4095) & ~uint64_t(4095); }

// Buffer lengths of zero or beyond one region unit become one unit.
uint64_t clamp_length(uint64_t length, uint64_t unit)
{
    return (length == 0 || length > unit) ? unit : length;
}

void thread_failed(int code)
{
    print_error((uint32_t)code, "CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    process_exit(code);
}

void receive_thread_main(void* slot) { bootstrap_r(static_cast<connection_slot*>(slot)); }
void send_thread_main(void* slot) { bootstrap_w(static_cast<connection_slot*>(slot)); }

// Ends a slot thread that is still serving a connection 200 ms into the
// teardown. Threads cannot be killed here: the teardown has already shut the
// socket down, which ends any blocked receive or send, and the receive loop
// then finds `running` clear and does not accept again. True when it ended;
// a thread that still does not end is left to the process exit.
bool end_busy_thread(connection_slot* slot, thread_record* t)
{
    shut_connection_down(slot, true);
    event_signal(&slot->channel.send_request);
    return thread_join(t, busy_thread_join_ms) == 0;
}

} // namespace

uint64_t region_units_needed(const G_SOCKET* server)
{
    uint64_t unit = server->region.unit_size;
    uint64_t r = align_page(clamp_length(server->packet_length_rw[0], unit));
    uint64_t s = align_page(clamp_length(server->packet_length_rw[1], unit));
    uint64_t p = align_page(server->path_buffer_length);
    uint64_t total = (s + r + 2 * p) * server->cw_connections;
    return (total + unit - 1) / unit;
}

void slot_setup(connection_slot* slot, uint32_t number)
{
    send_channel* channel = &slot->channel;
    channel->send_base = nullptr;
    channel->slot_buffer = nullptr;
    channel->slot_buffer_size = 0;
    channel->half = false;
    channel->p_send = nullptr;
    channel->size_send = 0;
    channel->send_result = 0;
    channel->send_error = 0;
    channel->failed.store(false);
    channel->gone.store(false);
    channel->packet_started_ns.store(0);
    channel->packet_first_byte.store(0);
    // A failed creation leaves the created flag clear: the slot then runs
    // without that synchronisation.
    event_create(&channel->send_request, false, false);
    event_create(&channel->send_done, false, true);
    event_create(&slot->tls.lock, false, true);
    slot->tls.ssl = nullptr;
    slot->tls.references.store(0);
    slot->tls.rbio = nullptr;
    slot->tls.wbio = nullptr;
    slot->tls.so_accepted = invalid_socket;
    slot->tls.so.store(invalid_socket);
    slot->tls.abortive_close.store(false);
    slot->tls.pinned.store(0);
    slot->tls.so_error.store(0);
    slot->tls.tls_status.store(0);
    slot->tls.bytes_sent.store(0);
    slot->tls.send_deadline_ns = 0;
    slot->tls.p_recv = nullptr;
    slot->tls.p_recv_size = 0;
    slot->connected.store(false);
    slot->running.store(false);
    std::memset(&slot->receive_thread, 0, sizeof(slot->receive_thread));
    std::memset(&slot->send_thread, 0, sizeof(slot->send_thread));
    slot->number = number;
    slot->receive_length = 0;
    slot->send_length = 0;
    slot->receive_begin = nullptr;
    slot->receive_end = nullptr;
    slot->path_buffer = nullptr;
    slot->path_capacity = 0;
    slot->exchange = nullptr;
    slot->phase.store(phase_accepting);
    slot->phase_since_ns.store(0);
    slot->request_bytes.store(0);
    slot->request_deadline_ns = 0;
    slot->receive_timeout_ms = 0;
}

void carve_slot_buffers(G_SOCKET* server)
{
    uint64_t r = server->packet_length_rw[0];
    uint64_t s = server->packet_length_rw[1];
    uint64_t p = server->path_buffer_length;
    uint64_t n = server->cw_connections;
    char* base = server->region.base;
    for (uint64_t i = 0; i < n; ++i) {
        connection_slot* slot = &server->slots[i];
        slot->receive_length = r;
        slot->send_length = s;
        slot->receive_begin = base + n * align_page(s) + i * align_page(r);
        slot->receive_end = slot->receive_begin + align_page(r);
        send_channel* channel = &slot->channel;
        channel->send_base = base + i * align_page(s);
        channel->slot_buffer = channel->send_base;
        channel->half = false;
        channel->p_send = nullptr;
        channel->slot_buffer_size = s / 2;
        slot->path_buffer = reinterpret_cast<char16_t*>(base + n * (align_page(s) + align_page(r)) +
                                                        i * 2 * align_page(p));
        slot->path_capacity = p;
        slot->tls.p_recv = slot->receive_begin;
        slot->tls.p_recv_size = r;
    }
}

void slots_reserve(G_SOCKET* server)
{
    uint64_t unit = large_page_minimum(nullptr);
    server->region.unit_size = unit;
    server->packet_length_rw[0] = clamp_length(server->packet_length_rw[0], unit);
    server->packet_length_rw[1] = clamp_length(server->packet_length_rw[1], unit);
    server->region.verbose = true;
    region_reserve(&server->region, region_units_needed(server));
    if (!server->region.base) process_exit(1);
    carve_slot_buffers(server);
}

void slots_start(G_SOCKET* server)
{
    uint64_t n = server->cw_connections;
    reload_handshake_open();
    stopping.store(false);
    for (uint64_t i = 0; i < n; ++i) {
        connection_slot* slot = &server->slots[i];
        slot->running.store(true);
        event_create(&slot->start, false, false);
        slot->receive_thread.stack_reservation = thread_stack_reservation;
        slot->send_thread.stack_reservation = thread_stack_reservation;
        int rc = thread_create(&slot->receive_thread, receive_thread_main, slot);
        if (rc != 0) thread_failed(rc);
        rc = thread_create(&slot->send_thread, send_thread_main, slot);
        if (rc != 0) thread_failed(rc);
    }
}

bool slot_teardown(connection_slot* slot)
{
    slot->running.store(false);
    if (slot->number == 0) reload_handshake_close();
    socket_t so = slot->tls.so.load();
    if (so != invalid_socket) {
        console_printf("\n!! server %02u  so %i %i\n", slot->number, slot->tls.so_accepted, so);
        // Both of the slot's threads may be blocked on this socket: ending
        // both directions wakes them, and the receiving thread closes the
        // connection with a reset on its way out.
        slot->tls.abortive_close.store(true);
        shut_connection_down(slot, true);
    }
    event_signal(&slot->start);
    event_close(&slot->start);

    bool ended = true;
    if (slot->receive_thread.created) {
        if (slot->connected.load()) thread_join(&slot->receive_thread, 200);
        if (slot->receive_thread.created) {
            if (!slot->connected.load()) {
                close_listener();
                thread_join(&slot->receive_thread, event_infinite);
            } else {
                console_printf(":: server %02u  terminate_r so %i\n", slot->number, slot->tls.so_accepted);
                ended = end_busy_thread(slot, &slot->receive_thread);
            }
        }
    }
    if (slot->send_thread.created) {
        if (!slot->connected.load()) {
            event_signal(&slot->channel.send_request);
            thread_join(&slot->send_thread, event_infinite);
        } else {
            console_printf(":: server %02u  terminate_w so %i\n", slot->number, slot->tls.so_accepted);
            ended = end_busy_thread(slot, &slot->send_thread) && ended;
        }
    }
    // A thread that did not end may still use the socket and the buffers:
    // both are left to the process exit.
    if (!ended) return false;
    std::memset(&slot->receive_thread, 0, sizeof(slot->receive_thread));
    std::memset(&slot->send_thread, 0, sizeof(slot->send_thread));

    event_signal(&slot->tls.lock);
    event_close(&slot->tls.lock);
    slot->tls.abortive_close.store(true);
    close_connection(&slot->tls);
    slot->connected.store(false);
    event_signal(&slot->channel.send_request);
    event_close(&slot->channel.send_request);
    event_signal(&slot->channel.send_done);
    event_close(&slot->channel.send_done);
    slot->receive_length = 0;
    slot->send_length = 0;
    slot->receive_begin = nullptr;
    slot->receive_end = nullptr;
    return true;
}
