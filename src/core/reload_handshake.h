// The reload handshake: a reading of the settings never replaces them while
// a connection slot resolves a path with them, and a slot never starts to
// resolve while a reading runs.
//
// Slot side (each slot's receiving thread): reload_enter_resolving before
// path resolution, reload_leave_resolving after it. Reload side (the reload
// thread, or start-up): reload_begin, then the reading waits with
// reload_wait_for_resolvers before it applies anything, then reload_end.
#pragma once
#include <cstdint>

// Slots the handshake can follow (hard limit).
constexpr uint32_t reload_slot_capacity = 64;

// Creates the event that is set while no reading runs. Start-up, before any
// slot thread exists.
void reload_handshake_open();
// Sets and closes that event: a slot waiting for a reading goes on at once,
// and later waits fail. Teardown.
void reload_handshake_close();

// Raises the slot's resolving flag once no reading runs. The flag is lowered
// while the slot waits, so a reading never waits for a slot that waits for
// it. False (flag lowered) when the handshake has been closed.
bool reload_enter_resolving(uint32_t slot);
// Lowers the slot's resolving flag.
void reload_leave_resolving(uint32_t slot);
// Whether the slot's resolving flag is raised (any thread).
bool reload_slot_resolving(uint32_t slot);

// Marks a reading as running; slots that have not raised their flag wait.
void reload_begin();
// Returns once none of the first `slots` slots is resolving a path.
void reload_wait_for_resolvers(uint32_t slots);
// Ends the reading and releases the waiting slots.
void reload_end();
// Called by every reading of the settings once it has applied them.
void reload_count_reading();
// The readings counted so far: a cached result derived from the settings is
// valid while this number stays the same. Any thread.
uint64_t reload_generation();
