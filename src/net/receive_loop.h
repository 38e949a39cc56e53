// The receive loop of a connection and its one entry point into the request
// code above: the engine receives bytes with their time limits and hands
// them to dispatch_request, which tells it how to go on.
#pragma once
#include <cstdint>

struct connection_slot;

// A request (its line, header block and body) must be complete this long
// after it began (hard limit)...
constexpr uint64_t request_time_limit_ns = 30ULL * 1000000000ULL;
// ...plus this much for every body_allowance_unit bytes of its declared body.
constexpr uint64_t body_allowance_ns = 1000000000ULL;
constexpr uint64_t body_allowance_unit = 16384;

// What the request code tells the receive loop after each dispatch.
struct dispatch_verdict {
    char* receive_at;   // the request is incomplete: receive the next bytes here, behind the
                        // data; null when the request was answered or dropped
    bool keep_open;     // answered, and the connection stays open for another request
    char* next_request; // keep_open: first byte of the next request already in the buffer, null when none
};

// The entry point the request code provides: called by the receive loop
// whenever bytes have arrived. `data` is where the request begins, `length`
// bytes have arrived and data[length] is NUL; `continuing` is set when they
// continue the request of the previous call. Receiving thread of the slot.
void dispatch_request(connection_slot* slot, char* data, uint64_t length, bool continuing,
                      dispatch_verdict* verdict);

// Extends the current request's time limit by the allowance for a body of
// `length` bytes, counted from when the request began. Receiving thread.
void connection_allow_body(connection_slot* slot, uint64_t length);
// Receives up to size bytes of the current request within its time limit.
// > 0 bytes received; 0 when the client closed; -1 on failure, or with
// err_timed_out when the time limit was reached (the connection is then
// reset when it closes). Receiving thread.
int64_t connection_receive(connection_slot* slot, char* buffer, uint64_t size);

// Serves one connection: receives, dispatches, keeps it alive and pipelines.
// Returns with no packet in flight: 0, the socket error, or err_timed_out
// when a time limit ended the connection. Receiving thread.
int work_r(connection_slot* slot);
