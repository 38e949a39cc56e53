#include "core/reload_handshake.h"

#include <atomic>

#include "os/clock.h"
#include "os/event.h"

namespace {

std::atomic<bool> reload_pending{false};       // a reading is replacing the settings
event_t reload_done;                           // manual-reset: set while no reading runs
std::atomic<bool> resolving[reload_slot_capacity]; // per slot: a path is being resolved
std::atomic<uint64_t> generation{0};           // readings ended so far

} // namespace

void reload_handshake_open() { event_create(&reload_done, true, true); }

void reload_handshake_close()
{
    event_signal(&reload_done);
    event_close(&reload_done);
}

bool reload_enter_resolving(uint32_t slot)
{
    if (slot >= reload_slot_capacity) return false;
    resolving[slot].store(true);
    while (reload_pending.load()) {
        resolving[slot].store(false);
        if (event_wait(&reload_done, event_infinite) == event_failed) return false;
        resolving[slot].store(true);
    }
    return true;
}

void reload_leave_resolving(uint32_t slot)
{
    if (slot < reload_slot_capacity) resolving[slot].store(false);
}

bool reload_slot_resolving(uint32_t slot) { return slot < reload_slot_capacity && resolving[slot].load(); }

void reload_begin()
{
    event_reset(&reload_done);
    reload_pending.store(true);
}

void reload_wait_for_resolvers(uint32_t slots)
{
    if (slots > reload_slot_capacity) slots = reload_slot_capacity;
    for (;;) {
        bool busy = false;
        for (uint32_t i = 0; i < slots && !busy; ++i) busy = resolving[i].load();
        if (!busy) return;
        sleep_ms(1);
    }
}

void reload_end()
{
    reload_pending.store(false);
    event_signal(&reload_done);
}

void reload_count_reading() { generation.fetch_add(1); }

uint64_t reload_generation() { return generation.load(); }
