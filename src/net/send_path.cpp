// The sending side of a slot: one packet in flight at a time, handed over
// with the send_request / send_done token while the receiving thread fills
// the other half of the send buffer.
#include "net/send_path.h"

#include "net/server.h"
#include "os/clock.h"
#include "service/console.h"

namespace {

// A blocked send looks again this often for the deadline (soft).
constexpr uint32_t send_wait_slice_ms = 1000;

// Failures that only mean the client went away or was ended: not worth a message.
bool quiet_send_error(int32_t error)
{
    return error == err_bad_socket || error == err_would_block || error == err_broken_pipe ||
           error == err_conn_aborted || error == err_conn_reset || error == err_timed_out;
}

} // namespace

bool channel_send(send_channel* channel, const char* data, uint64_t size)
{
    // The sending thread has ended (the server is stopping): nobody would send
    // this, and the client must not wait for it.
    if (channel->gone.load() || event_wait(&channel->send_done, event_infinite) != event_signalled) return false;
    // The sending thread may have ended while this thread waited: its last
    // signal is the token, and nobody would send the packet.
    if (channel->gone.load()) {
        event_signal(&channel->send_done);
        return false;
    }
    if (channel->send_result == -1) {
        event_signal(&channel->send_done);
        if (!quiet_send_error(channel->send_error))
            print_error((uint32_t)channel->send_error,
                        "!! send_packet() !! work_w() !! send(so, p_send, size_send, 0)");
        return false;
    }
    channel->p_send = data;
    channel->size_send = size;
    event_signal(&channel->send_request);
    channel->slot_buffer = channel->send_base + (channel->half ? 0 : channel->slot_buffer_size);
    channel->half = !channel->half;
    return true;
}

bool channel_busy(send_channel* channel)
{
    if (channel->gone.load()) return false;
    if (event_wait(&channel->send_done, 0) != event_signalled) return channel->send_done.created.load();
    event_signal(&channel->send_done);
    return false;
}

void channel_wait_idle(send_channel* channel)
{
    // Without the sending thread nothing is in flight.
    if (channel->gone.load()) return;
    if (event_wait(&channel->send_done, event_infinite) == event_signalled) event_signal(&channel->send_done);
}

void channel_reset(send_channel* channel)
{
    channel->send_result = 0;
    channel->send_error = 0;
    channel->size_send = 0;
    channel->failed.store(false);
}

int64_t send_with_deadline(tls_state* tls, const char* data, uint64_t size, uint64_t deadline_ns)
{
    socket_t so = tls->so.load();
    uint64_t sent = 0;
    // A short send is resumed: dropping the rest would corrupt the response.
    while (sent < size) {
        int64_t n = socket_send_some(so, data + sent, size - sent);
        if (n > 0) {
            sent += (uint64_t)n;
            tls->bytes_sent.fetch_add((uint64_t)n, std::memory_order_relaxed);
            continue;
        }
        if (n == 0 || socket_last_error() != err_would_block) return -1;
        uint64_t now = clock_monotonic_ns();
        if (now >= deadline_ns) {
            socket_set_error(err_timed_out);
            return -1;
        }
        uint64_t left_ms = (deadline_ns - now) / 1000000 + 1;
        if (socket_wait_writable(so, left_ms < send_wait_slice_ms ? (uint32_t)left_ms : send_wait_slice_ms) < 0)
            return -1;
    }
    return (int64_t)size;
}

namespace {

void work_w(connection_slot* slot)
{
    send_channel* channel = &slot->channel;
    tls_state* tls = &slot->tls;
    while (channel->send_request.created.load()) {
        if (event_wait(&channel->send_request, event_infinite) != event_signalled) break;
        if (!channel->send_request.created.load() || !slot->running.load() || stopping.load()) break;
        // The token is held only across this one send.
        uint64_t now = clock_monotonic_ns();
        tls->send_deadline_ns = now + packet_time_limit_ns;
        channel->packet_started_ns.store(now, std::memory_order_relaxed);
        channel->send_result = tls_send(tls, channel->p_send, channel->size_send);
        channel->packet_started_ns.store(0, std::memory_order_relaxed);
        if (channel->send_result == -1) {
            channel->send_error = socket_last_error();
            if (channel->send_error == 0) channel->send_error = tls->tls_status.load();
            // A packet that did not leave in time ends the connection with a reset.
            if (channel->send_error == err_timed_out) tls->abortive_close.store(true);
            channel->failed.store(true);
        }
        event_signal(&channel->send_done);
    }
}

} // namespace

void bootstrap_w(connection_slot* slot)
{
    work_w(slot);
    // The receiving thread alone closes the connection; it learns here that
    // nothing will be sent any more.
    slot->running.store(false);
    slot->channel.gone.store(true);
    slot->channel.failed.store(true);
    event_signal(&slot->channel.send_done);
    event_signal(&slot->start);
}
