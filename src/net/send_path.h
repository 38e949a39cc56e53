// The send path: every byte sent to a client leaves through send_packet, and
// the slot's sending thread sends it while the receiving thread fills the other
// half of the send buffer.
#pragma once
#include <cstdint>

struct response_record;
struct request_record;
struct connection_slot;

// Hands `size` bytes at `data` to the sending thread and switches slot_buffer
// to the other half. Returns false, handing over nothing, when the previous
// send failed (keep-alive is then cleared so the connection ends). The bytes
// must stay untouched until the next send_packet or until send_done is taken.
// Receiving thread only.
bool send_packet(response_record* response, const char* data, uint64_t size, request_record* request);

// The sending thread's routine (parameter: the slot).
void bootstrap_w(connection_slot* slot);
