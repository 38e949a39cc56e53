// Events: the one synchronisation primitive of the program. An event is either
// manual-reset (stays signalled until reset) or auto-reset (a successful wait
// clears it again). `created` tells that the event exists: an event whose flag
// is clear is neither waited on nor signalled.
#pragma once
#include <atomic>
#include <cstdint>

struct event_t {
    alignas(16) unsigned char impl[128]; // mutex, condition variable and state
    std::atomic<bool> created;           // set by event_create, cleared by event_close
};

// Wait results.
constexpr int event_signalled = 0;
constexpr int event_timed_out = 1;
constexpr int event_failed = -1; // never created, or closed before or during the wait

constexpr int64_t event_infinite = -1;

// Creates the event; 0 on success, -1 on failure (the created flag stays clear).
int event_create(event_t* e, bool manual_reset, bool signalled);
// Sets the event; does nothing when the event does not exist.
void event_signal(event_t* e);
// Clears the event; does nothing when the event does not exist.
void event_reset(event_t* e);
// Waits at most timeout_ms (event_infinite: no limit; 0: only tests).
// Returns event_signalled, event_timed_out or event_failed.
int event_wait(event_t* e, int64_t timeout_ms);
// Marks the event gone: every thread waiting on it wakes with event_failed and
// every later wait fails at once. The memory stays valid, so a racing waiter
// never touches freed state.
void event_close(event_t* e);
