// Pressure relief: when a connection waits to be accepted and no slot is
// free, the server makes room by closing the connections that hold a slot
// while doing least: kept connections between requests first (the one idle
// longest first), then requests still incomplete after two seconds that
// arrive slower than 32 KiB/s, then answers crawling out slower than that.
#pragma once
#include <cstdint>

struct G_SOCKET;

// How often the listener looks (soft).
constexpr uint32_t pressure_tick_ms = 100;

// The watch's memory from one look to the next.
struct pressure_watch {
    uint32_t pressed_ticks; // consecutive looks that found a connection waiting and no slot free
    uint64_t relieved;      // connections closed to make room so far
};

// One look: closes up to as many connections as wait to be accepted once the
// pressure has lasted more than one tick. Returns the connections closed.
// The listener's thread only.
uint32_t pressure_relieve(G_SOCKET* server, pressure_watch* watch, uint64_t now_ns);
