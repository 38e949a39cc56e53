// The receiving side of a connection: requests arrive within their time
// limits, go to the request code, and the connection is kept, pipelined or
// ended. Every way out of the loop leaves with no packet in flight, so that
// the caller can close the socket knowing that the sending thread no longer
// uses it.
#include "net/receive_loop.h"

#include <cstring>

#include "net/server.h"
#include "os/clock.h"
#include "service/console.h"
#include "service/service.h"

namespace {

// A receive while a request is awaited or arriving waits at most this long;
// a time-out with nothing in flight then resets the connection (hard limit).
constexpr uint32_t receive_wait_ms = 15000;
// A kept connection may stay idle this long between requests before the
// request limits apply to it again (hard limit; soft under pressure).
constexpr uint32_t idle_wait_ms = 300000;
constexpr uint64_t ns_per_ms = 1000000;

// The time of a new request begins at `now`.
void begin_request(connection_slot* slot, uint64_t now)
{
    slot->request_deadline_ns = now + request_time_limit_ns;
    slot->request_bytes.store(0, std::memory_order_relaxed);
    slot->phase_since_ns.store(now, std::memory_order_relaxed);
}

// Milliseconds a receive may wait now: receive_wait_ms, cut to what is left
// of the request's time when one runs; 0 when that time is up.
uint32_t receive_wait(const connection_slot* slot, uint64_t now, bool request_running)
{
    if (!request_running) return receive_wait_ms;
    if (now >= slot->request_deadline_ns) return 0;
    uint64_t left = (slot->request_deadline_ns - now + ns_per_ms - 1) / ns_per_ms;
    return left < receive_wait_ms ? (uint32_t)left : receive_wait_ms;
}

// Receives with the socket's time-out set to wait_ms (only changed when it
// differs, which spares a system call per request on kept connections).
int64_t receive_some(connection_slot* slot, char* buffer, uint64_t size, uint32_t wait_ms)
{
    if (wait_ms != slot->receive_timeout_ms) {
        socket_set_recv_timeout(slot->tls.so.load(), wait_ms);
        slot->receive_timeout_ms = wait_ms;
    }
    return tls_recv(&slot->tls, buffer, size);
}

// The error behind a failed receive: the socket's, else the TLS layer's.
int receive_error(tls_state* tls)
{
    int error = socket_last_error();
    if (error == 0) error = tls->so_error.load();
    if (error == 0) error = tls->tls_status.load();
    return error;
}

// The one way out of the loop. With `reset` the connection ends with a
// reset, and a packet still leaving is made to fail at once rather than
// hold the slot up to its own limit. Either way the packet in flight is
// waited for, so that nobody uses the socket once this returns.
int leave(connection_slot* slot, int error, bool reset)
{
    tls_state* tls = &slot->tls;
    if (reset) {
        tls->abortive_close.store(true);
        if (channel_busy(&slot->channel)) socket_shutdown(tls->so.load());
    }
    channel_wait_idle(&slot->channel);
    return error;
}

} // namespace

void connection_allow_body(connection_slot* slot, uint64_t length)
{
    uint64_t units = length / body_allowance_unit + (length % body_allowance_unit != 0);
    uint64_t begun = slot->phase_since_ns.load(std::memory_order_relaxed);
    slot->request_deadline_ns = begun + request_time_limit_ns + units * body_allowance_ns;
}

int64_t connection_receive(connection_slot* slot, char* buffer, uint64_t size)
{
    tls_state* tls = &slot->tls;
    for (;;) {
        uint32_t wait_ms = receive_wait(slot, clock_monotonic_ns(), true);
        if (wait_ms == 0) {
            tls->abortive_close.store(true);
            socket_set_error(err_timed_out);
            return -1;
        }
        slot->phase.store(phase_request);
        int64_t n = receive_some(slot, buffer, size, wait_ms);
        slot->phase.store(phase_answer);
        if (n > 0) {
            slot->request_bytes.fetch_add((uint64_t)n, std::memory_order_relaxed);
            return n;
        }
        if (n == 0) return 0;
        int error = receive_error(tls);
        if (error != err_timed_out) return -1;
        // Silence with nothing left to send ends the body; a packet that is
        // still leaving (the echo of its start) is bounded by its own limit.
        if (!channel_busy(&slot->channel)) {
            tls->abortive_close.store(true);
            socket_set_error(err_timed_out);
            return -1;
        }
    }
}

int work_r(connection_slot* slot)
{
    tls_state* tls = &slot->tls;
    send_channel* channel = &slot->channel;
    const uint64_t limit = tls->p_recv_size - 1; // room for the NUL behind the data
    char* data = slot->receive_begin;
    char* receive_at = nullptr; // behind the partial request, null for a new one
    bool idle = false;          // between the requests of a kept connection
    uint32_t idle_ms = 0;       // how long the connection has been idle
    channel_reset(channel);

    for (;;) {
        if (g_service.paused.load()) return leave(slot, 0, false);
        uint64_t now = clock_monotonic_ns();
        uint32_t wait_ms = receive_wait(slot, now, !idle);
        if (wait_ms == 0) return leave(slot, err_timed_out, true);

        uint64_t held = 0;
        int64_t n;
        if (receive_at) {
            held = (uint64_t)(receive_at - data);
            // The parser decides before the buffer is full; a full buffer
            // here would be a request it can never finish.
            if (held >= limit) return leave(slot, 0, false);
            n = receive_some(slot, receive_at, limit - held, wait_ms);
        } else {
            data = slot->receive_begin;
            n = receive_some(slot, data, limit, wait_ms);
        }

        if (n <= 0) {
            int error = receive_error(tls);
            if (n == 0 || !slot->running.load() || error == err_conn_aborted || error == err_conn_reset)
                return leave(slot, 0, false);
            if (error == err_timed_out) {
                if (idle) {
                    idle_ms += wait_ms;
                    if (idle_ms < idle_wait_ms) continue;
                    // Idle for too long: one more receive time-out ends it.
                    if (slot->phase.exchange(phase_request) == phase_evicted) return leave(slot, 0, false);
                    idle = false;
                    begin_request(slot, clock_monotonic_ns());
                    continue;
                }
                // Nothing arrived in time and nothing is leaving: reset. A
                // packet still leaving keeps the connection within the
                // request's own limit.
                if (!channel_busy(channel)) return leave(slot, err_timed_out, true);
                continue;
            }
            console_printf("\n!! recv(%u)  so %i %i\n", slot->number, tls->so.load(), tls->so_accepted);
            print_error((uint32_t)error, "");
            return leave(slot, 0, false);
        }

        if (idle) {
            // The first bytes of the next request: its time begins now.
            if (slot->phase.exchange(phase_request) == phase_evicted) return leave(slot, 0, false);
            idle = false;
            begin_request(slot, now);
        }
        slot->request_bytes.fetch_add((uint64_t)n, std::memory_order_relaxed);
        bool continuing = receive_at != nullptr;
        uint64_t count = (uint64_t)n + held;
        data[count] = 0;

        for (;;) {
            slot->phase.store(phase_answer);
            dispatch_verdict verdict{};
            dispatch_request(slot, data, count, continuing, &verdict);
            if (channel->failed.load()) return leave(slot, 0, false);
            if (verdict.receive_at) {
                slot->phase.store(phase_request);
                if (clock_monotonic_ns() >= slot->request_deadline_ns) return leave(slot, err_timed_out, true);
                receive_at = verdict.receive_at;
                break;
            }
            receive_at = nullptr;
            if (!verdict.keep_open) return leave(slot, 0, false);
            char* end = data + count;
            char* next = verdict.next_request;
            if (next && next > data && next < end) {
                // Pipelined requests move to the buffer start and are answered in turn.
                uint64_t rest = (uint64_t)(end - next);
                std::memmove(slot->receive_begin, next, rest);
                slot->receive_begin[rest] = 0;
                data = slot->receive_begin;
                count = rest;
                continuing = false;
                begin_request(slot, clock_monotonic_ns());
                continue;
            }
            idle = true;
            idle_ms = 0;
            slot->phase_since_ns.store(clock_monotonic_ns(), std::memory_order_relaxed);
            slot->phase.store(phase_idle);
            break;
        }
    }
}
