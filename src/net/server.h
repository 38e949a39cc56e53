// The server object and its connection slots. All 64 slots are built once at
// start-up; each has a receiving and a sending thread that serve one
// connection after another for the life of the process.
#pragma once
#include <atomic>
#include <cstdint>

#include "http/request.h"
#include "http/response.h"
#include "net/tls_state.h"
#include "os/event.h"
#include "os/thread.h"
#include "platform/memory_region.h"

// Fixed parameters of the connection engine (not settings).
constexpr uint16_t slot_count = 64;                // connection slots, and the listen backlog
constexpr uint64_t receive_buffer_length = 65536;  // bytes per slot
constexpr uint64_t send_buffer_length = 524288;    // bytes per slot, two halves
constexpr uint64_t path_buffer_length = 8192;      // UTF-16 units per slot

struct connection_slot {
    request_record request;      // the request being served
    response_record response;    // the answer being built, with the send members
    event_t start;               // auto-reset: releases the receiving thread
    event_t reader_event;        // auto-reset: this slot's turn in the large-file reader queue
    tls_state tls;               // the connection's socket and TLS object
    std::atomic<bool> connected; // a connection is being served
    std::atomic<bool> running;   // the slot is in use and its threads may run
    thread_record receive_thread;
    thread_record send_thread;
    uint32_t number;             // 0 to 63, printed as "server %02u"
    uint64_t receive_length;     // copy of packet_length_rw[0]
    uint64_t send_length;        // copy of packet_length_rw[1]
    std::atomic<uint64_t> upgrade_verdict; // cached HTTPS upgrade decision; cleared by every reload
    char* receive_begin;         // the slot's receive buffer
    char* receive_end;           // receive_begin + its aligned length
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
// Carves every slot's buffers out of the region and starts its threads.
// Ends the process when the region or a thread cannot be had.
void slots_start(G_SOCKET* server);
// Takes a slot down: closes its connection, ends its threads (200 ms grace
// for a busy slot), releases its events.
void slot_teardown(connection_slot* slot);

// The listener: creates, binds and listens, releases the slots and waits for
// the stop. 0 after an ordered stop, -1 when it cannot listen.
int run_server(G_SOCKET* server);
// The receiving thread's routine: waits for its start, then accepts and
// serves one connection after another until accepting fails.
void bootstrap_r(connection_slot* slot);
// Closes the connection's TLS state and socket (a reset when requested).
void close_connection(tls_state* tls);
// Hands received bytes to the request code; called by the receive loop.
void dispatch_request(connection_slot* slot, char* data, uint64_t length);
