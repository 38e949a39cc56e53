// Pressure relief: when a connection waits to be accepted and no slot is
// free, the server makes room by closing the connections that hold a slot
// while doing least: kept connections between requests first (the one idle
// longest first), then requests still incomplete after two seconds that
// arrive slower than 16 KiB/s, then answers that have left slower than that
// over the last two seconds.
#pragma once
#include <cstdint>

#include "net/server.h"

// How often the listener looks (soft).
constexpr uint32_t pressure_tick_ms = 50;

// How fast a slot's connection has sent lately: the bytes of the last whole
// window of at least two seconds. Kernel buffers take the first megabytes of an
// answer at once, so only a recent window tells a client that stopped reading.
struct send_sample {
    uint64_t mark_ns;    // start of the window being measured
    uint64_t mark_bytes; // the connection's byte count then
    uint64_t rate;       // bytes per second over the last whole window
    bool measured;       // rate belongs to the connection now in the slot
};

// The watch's memory from one look to the next.
struct pressure_watch {
    uint32_t pressed_ticks;           // consecutive looks that found a connection waiting and no slot free
    uint64_t relieved;                // connections closed to make room so far
    send_sample samples[slot_count];  // per slot
};

// One look: measures every slot's sending, and closes up to as many
// connections as wait to be accepted once the pressure has lasted more than
// one tick. Returns the connections closed. The listener's thread only.
uint32_t pressure_relieve(G_SOCKET* server, pressure_watch* watch, uint64_t now_ns);
