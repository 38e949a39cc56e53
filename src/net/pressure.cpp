#include "net/pressure.h"

#include "net/server.h"

namespace {

// An incomplete request counts only after this long...
constexpr uint64_t request_grace_ns = 2000000000ULL;
// ...a crawling answer after its packet has been in flight this long, over
// a measured window of at least this long: long enough that a reader who
// pauses for a moment is not taken for one that stopped, short enough that
// the queue behind it does not wait long.
constexpr uint64_t answer_grace_ns = 2000000000ULL;
constexpr uint64_t rate_window_ns = 2000000000ULL;
// Below this rate (bytes per second) a request or an answer crawls. A client
// that sends or reads at 64 KiB/s or faster is never taken for one.
constexpr uint64_t crawl_rate = 16384;

enum victim_kind : uint32_t { victim_idle = 0, victim_request = 1, victim_answer = 2, victim_kinds = 3 };

struct candidate {
    connection_slot* slot; // the slot whose connection may be closed
    uint64_t since_ns;     // idle, request or packet start: the oldest goes first
};

// Whether `bytes` since `since` are fewer than crawl_rate allows, at least
// `grace` after it.
bool crawls(uint64_t bytes, uint64_t since, uint64_t now, uint64_t grace)
{
    uint64_t elapsed = now - since;
    return elapsed >= grace && bytes * 1000000000ULL / elapsed < crawl_rate;
}

// Moves the slot's send window on; a byte count that went back belongs to
// a new connection, whose window starts afresh.
void measure(send_sample* sample, const connection_slot* slot, uint64_t now)
{
    uint64_t bytes = slot->tls.bytes_sent.load(std::memory_order_relaxed);
    if (sample->mark_ns == 0 || bytes < sample->mark_bytes || now < sample->mark_ns) {
        *sample = send_sample{now, bytes, 0, false};
        return;
    }
    uint64_t elapsed = now - sample->mark_ns;
    if (elapsed < rate_window_ns) return;
    sample->rate = (bytes - sample->mark_bytes) * 1000000000ULL / elapsed;
    sample->measured = true;
    sample->mark_ns = now;
    sample->mark_bytes = bytes;
}

// The kind of victim the slot's connection is at `now`, or victim_kinds.
uint32_t classify(connection_slot* slot, const send_sample* sample, uint64_t now, uint64_t* since)
{
    if (!slot->running.load() || !slot->connected.load()) return victim_kinds;
    uint32_t phase = slot->phase.load();
    uint64_t begun = slot->phase_since_ns.load(std::memory_order_relaxed);
    uint64_t packet = slot->channel.packet_started_ns.load(std::memory_order_relaxed);
    if (begun > now) return victim_kinds;
    *since = begun;
    if (phase == phase_idle) return packet == 0 ? victim_idle : victim_kinds;
    if (phase == phase_request)
        return crawls(slot->request_bytes.load(std::memory_order_relaxed), begun, now, request_grace_ns)
                   ? victim_request
                   : victim_kinds;
    if (phase == phase_answer && packet != 0 && packet <= now && now - packet >= answer_grace_ns &&
        sample->measured && sample->rate < crawl_rate) {
        *since = packet;
        return victim_answer;
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
    for (uint32_t i = 0; i < in_use; ++i) measure(&watch->samples[i], &server->slots[i], now_ns);
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
        uint32_t kind = classify(&server->slots[i], &watch->samples[i], now_ns, &since);
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
