// The send path: every byte sent to a client leaves through channel_send, and
// the slot's sending thread sends it while the receiving thread fills the other
// half of the send buffer.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"

struct connection_slot;
struct tls_state;

// A packet that has not left this long after the sending thread took it
// fails (hard limit): a client that stops reading cannot hold its slot.
constexpr uint64_t packet_time_limit_ns = 60ULL * 1000000000ULL;

// The slot's send channel. The receiving thread writes the buffer halves and
// the packet members only while it holds the send_done token; the sending
// thread reads the packet and writes send_result and send_error between
// send_request and giving the token back, so the token hands them over.
struct send_channel {
    char* send_base;             // start of the slot's send buffer (receiving thread)
    char* slot_buffer;           // the half being filled by the response code
    uint64_t slot_buffer_size;   // length of one half
    bool half;                   // half being filled: 0 the first, 1 the second
    const char* p_send;          // packet handed to the sending thread
    uint64_t size_send;          // its length
    int64_t send_result;         // result of the last send; -1 means it failed
    int32_t send_error;          // error code of that failure
    std::atomic<bool> failed;    // a send of this connection failed; set before send_done is given back
    std::atomic<bool> gone;      // the sending thread has ended: nothing can be sent any more
    std::atomic<uint64_t> packet_started_ns; // when the packet in flight was taken, 0 while none is
    std::atomic<uint64_t> packet_first_byte; // the connection's byte count when it was taken
    event_t send_request;        // auto-reset, created clear: a packet waits
    event_t send_done;           // auto-reset, created signalled: no packet in flight
};

// Hands `size` bytes at `data` to the sending thread and switches slot_buffer
// to the other half. False, handing over nothing, when an earlier send of the
// connection failed or the sending thread has ended; the connection is then
// to end. The bytes must stay untouched until the next channel_send or until
// the send_done token is taken. Receiving thread only.
bool channel_send(send_channel* channel, const char* data, uint64_t size);
// Whether a packet is in flight at this moment (receiving thread).
bool channel_busy(send_channel* channel);
// Waits until no packet is in flight. Receiving thread.
void channel_wait_idle(send_channel* channel);
// Clears the results of the previous connection; receiving thread, with no
// packet in flight.
void channel_reset(send_channel* channel);

// Sends size bytes on the connection's socket, resuming short sends, until
// all have left or the deadline (monotonic ns) has passed. Counts the bytes
// in tls->bytes_sent. Returns size, or -1 (the socket's error, or
// err_timed_out at the deadline). Sending thread.
int64_t send_with_deadline(tls_state* tls, const char* data, uint64_t size, uint64_t deadline_ns);

// The sending thread's routine (parameter: the slot).
void bootstrap_w(connection_slot* slot);
