// The server object and its connection slots. All 64 slots are built once at
// start-up; each has a receiving and a sending thread that serve one
// connection after another for the life of the process.
#pragma once
#include <atomic>
#include <cstdint>

#include "net/send_path.h"
#include "net/tls_state.h"
#include "os/event.h"
#include "os/thread.h"
#include "platform/memory_region.h"

struct http_exchange;

// Fixed parameters of the connection engine (not settings).
constexpr uint16_t slot_count = 64;                // connection slots, and the listen backlog
constexpr uint64_t receive_buffer_length = 65536;  // bytes per slot
constexpr uint64_t send_buffer_length = 524288;    // bytes per slot, two halves
constexpr uint64_t path_buffer_length = 8192;      // UTF-16 units per slot

// What a slot's receiving thread is doing, for the pressure watch
// (net/pressure.h). Written by the receiving thread, except that the watch
// may turn phase_idle into phase_evicted.
enum slot_phase : uint32_t {
    phase_accepting = 0, // waiting in accept: the slot is free
    phase_request = 1,   // a request (or the TLS handshake) is awaited or arriving
    phase_answer = 2,    // a request is being answered
    phase_idle = 3,      // a kept connection between requests
    phase_evicted = 4,   // the watch has ended the idle connection to make room
};

struct connection_slot {
    send_channel channel;        // the send buffer halves and the packet in flight
    event_t start;               // auto-reset: releases the receiving thread
    tls_state tls;               // the connection's socket and TLS object
    std::atomic<bool> connected; // a connection is being served
    std::atomic<bool> running;   // the slot is in use and its threads may run
    thread_record receive_thread;
    thread_record send_thread;
    uint32_t number;             // 0 to 63, printed as "server %02u"
    uint64_t receive_length;     // copy of packet_length_rw[0]
    uint64_t send_length;        // copy of packet_length_rw[1]
    char* receive_begin;         // the slot's receive buffer
    char* receive_end;           // receive_begin + its aligned length
    char16_t* path_buffer;       // the slot's path buffer, for path resolution
    uint64_t path_capacity;      // its capacity in UTF-16 units
    http_exchange* exchange;     // the request code's records of this slot; the engine only carries it
    std::atomic<uint32_t> phase; // a slot_phase
    std::atomic<uint64_t> phase_since_ns; // when the phase (for requests: the request's time) began
    std::atomic<uint64_t> request_bytes;  // bytes received for the current request
    uint64_t request_deadline_ns; // the current request must be complete by then; receiving thread
    uint32_t receive_timeout_ms; // the socket's receive time-out as last set; receiving thread
};

struct G_SOCKET {
    bool list_directories;       // settings, rebuilt at every reading
    bool view_md;
    bool min_gz;
    bool upgrade_hsts;
    bool upgrade_https;
    uint16_t port;               // local TCP port
    uint16_t cw_connections;     // slots in use: always 64, and the listen backlog
    uint16_t service_port;       // port taken from the service name, 0 when none
    uint64_t path_buffer_length; // UTF-16 units of each slot's path buffer
    uint64_t packet_length_rw[2]; // receive and send buffer lengths per slot
    uint64_t settings_directory_length; // units up to and including the last separator
    char16_t* settings_path;     // owned; empty text when there is no file, null before the first reading
    const char16_t* program_path; // borrowed: argument 0 of main
    thread_record reload_thread; // the configuration-reload thread
    memory_region region;        // where every slot buffer lives
    connection_slot slots[slot_count];
    std::atomic<bool> configured; // settings have been read; cleared when stopping
    uint32_t addr_local;         // bind address, host byte order: 0.0.0.0
    uint16_t addr_local_port;    // bind port

    // Reads the settings file (again); always 0.
    int config(const char16_t* program_path);
};

// Process-wide state of the connection engine.
extern std::atomic<socket_t> so_listen;       // the listening socket
extern std::atomic<bool> stopping;            // an accept failed: sending threads end
extern uint64_t g_page_size;                  // the system page size

// Whole units of region.unit_size that the slot buffers need.
uint64_t region_units_needed(const G_SOCKET* server);
// Points every slot's send, receive and path buffers into the region: send
// buffers first, then receive buffers, then path buffers, each 4 KiB aligned.
void carve_slot_buffers(G_SOCKET* server);
// Builds a slot's events and zeroes its records (before the settings are read).
void slot_setup(connection_slot* slot, uint32_t number);
// Reserves the memory region and carves every slot's buffers out of it.
// Ends the process when the region cannot be had.
void slots_reserve(G_SOCKET* server);
// Starts every slot's two threads, which wait for their start event. Ends
// the process when a thread cannot be created.
void slots_start(G_SOCKET* server);
// Takes a slot down: wakes and ends its threads (200 ms grace for a busy
// slot), closes its connection once neither thread can use it, releases
// its events. True when both threads have ended.
bool slot_teardown(connection_slot* slot);

// The listener: creates, binds and listens, releases the slots, relieves
// pressure and waits for the stop. 0 after an ordered stop, -1 when it
// cannot listen.
int run_server(G_SOCKET* server);
// The receiving thread's routine: waits for its start, then accepts and
// serves one connection after another until accepting fails.
void bootstrap_r(connection_slot* slot);
// Shuts the listening socket down and closes it, once: whoever takes it from
// so_listen first. Threads blocked in accept on it return.
void close_listener();
// Closes the connection's TLS state and socket (a reset when requested).
// Only the party that knows that no other thread can still use the socket
// calls it: the slot's receiving thread, or the teardown once both slot
// threads have ended.
void close_connection(tls_state* tls);
// Shuts the slot's live socket down from another thread (both of the slot's
// threads then return from any receive or send), with a reset on the later
// close when `reset`. Safe against the slot closing the socket meanwhile.
void shut_connection_down(connection_slot* slot, bool reset);
