// The HTTP side of a connection slot: the request being served and the
// answer being built, with what the request code keeps per slot. Owned by
// the slot's receiving thread.
#pragma once
#include <cstdint>

#include "http/request.h"
#include "http/response.h"
#include "net/server.h"
#include "os/event.h"

struct http_exchange {
    connection_slot* slot;       // the connection this exchange serves
    request_record request;      // the request being served
    response_record response;    // the answer being built
    event_t reader_event;        // auto-reset: this slot's turn in the large-file reader queue
    uint64_t upgrade_verdict;    // cached HTTPS upgrade decision: host hash, verdict in bit 0
    uint64_t upgrade_generation; // reload_generation() + 1 when it was cached; 0: nothing cached
};

// One exchange per slot of the server.
extern http_exchange g_exchanges[slot_count];

// Ties the exchange and the slot to each other, resets the records, points
// the response at the slot's send channel and path buffer and creates the
// reader event. After the slot's buffers are carved, before it serves.
void exchange_setup(http_exchange* exchange, connection_slot* slot);
// Closes the reader event and resets the records; after the slot's teardown.
void exchange_teardown(http_exchange* exchange);
