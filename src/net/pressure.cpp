#include "net/pressure.h"

#include "net/server.h"

namespace {

// An incomplete request or a crawling answer counts only after this long.
constexpr uint64_t grace_ns = 2000000000ULL;
// Below this rate (bytes per second) a request or an answer crawls. A client
// that sends or reads at 64 KiB/s or faster is never taken for one.
constexpr uint64_t crawl_rate = 32768;

enum victim_kind : uint32_t { victim_idle = 0, victim_request = 1, victim_answer = 2, victim_kinds = 3 };

struct candidate {
    connection_slot* slot; // the slot whose connection may be closed
    uint64_t since_ns;     // idle, request or packet start: the oldest goes first
};

// Bytes per second over the time since `since`.
bool crawls(uint64_t bytes, uint64_t since, uint64_t now)
{
    uint64_t elapsed = now - since;
    return elapsed >= grace_ns && bytes * 1000000000ULL / elapsed < crawl_rate;
}

// The kind of victim the slot's connection is at `now`, or victim_kinds.
uint32_t classify(connection_slot* slot, uint64_t now, uint64_t* since)
{
    if (!slot->running.load() || !slot->connected.load()) return victim_kinds;
    uint32_t phase = slot->phase.load();
    uint64_t begun = slot->phase_since_ns.load(std::memory_order_relaxed);
    uint64_t packet = slot->channel.packet_started_ns.load(std::memory_order_relaxed);
    if (begun > now) return victim_kinds;
    *since = begun;
    if (phase == phase_idle) return packet == 0 ? victim_idle : victim_kinds;
    if (phase == phase_request)
        return crawls(slot->request_bytes.load(std::memory_order_relaxed), begun, now) ? victim_request : victim_kinds;
    if (phase == phase_answer && packet != 0 && packet <= now) {
        uint64_t first = slot->channel.packet_first_byte.load(std::memory_order_relaxed);
        uint64_t sent = slot->tls.bytes_sent.load(std::memory_order_relaxed) - first;
        *since = packet;
        return crawls(sent, packet, now) ? victim_answer : victim_kinds;
    }
    return victim_kinds;
}

// Ends the candidate's connection; false when it is no longer what it was.
bool evict(const candidate& c, uint32_t kind)
{
    connection_slot* slot = c.slot;
    if (kind == victim_idle) {
        // Only an idle connection that has not begun a new request meanwhile:
        // its receiving thread sees phase_evicted when it wakes.
        uint32_t expected = phase_idle;
        if (!slot->phase.compare_exchange_strong(expected, phase_evicted)) return false;
        shut_connection_down(slot, false);
        return true;
    }
    shut_connection_down(slot, true);
    return true;
}

} // namespace

uint32_t pressure_relieve(G_SOCKET* server, pressure_watch* watch, uint64_t now_ns)
{
    uint32_t in_use = server->cw_connections < slot_count ? server->cw_connections : slot_count;
    for (uint32_t i = 0; i < in_use; ++i) {
        connection_slot* slot = &server->slots[i];
        if (slot->running.load() && slot->phase.load() == phase_accepting) {
            watch->pressed_ticks = 0;
            return 0;
        }
    }
    socket_t listener = so_listen.load();
    int64_t waiting = listener == invalid_socket ? -1 : socket_accept_backlog(listener);
    if (waiting <= 0) {
        watch->pressed_ticks = 0;
        return 0;
    }
    // A moment's pressure passes by itself as answers end.
    if (++watch->pressed_ticks < 2) return 0;

    candidate found[victim_kinds][slot_count];
    uint32_t counts[victim_kinds] = {};
    for (uint32_t i = 0; i < in_use; ++i) {
        uint64_t since = 0;
        uint32_t kind = classify(&server->slots[i], now_ns, &since);
        if (kind == victim_kinds) continue;
        // Oldest first: insertion into the short sorted list.
        candidate* list = found[kind];
        uint32_t at = counts[kind]++;
        while (at > 0 && list[at - 1].since_ns > since) {
            list[at] = list[at - 1];
            --at;
        }
        list[at] = candidate{&server->slots[i], since};
    }
    uint32_t closed = 0;
    for (uint32_t kind = 0; kind < victim_kinds && closed < (uint64_t)waiting; ++kind)
        for (uint32_t i = 0; i < counts[kind] && closed < (uint64_t)waiting; ++i)
            if (evict(found[kind][i], kind)) ++closed;
    watch->relieved += closed;
    return closed;
}
