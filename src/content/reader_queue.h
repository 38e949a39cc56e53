// The large-file reader queue: large files are read unbuffered, one reader
// after another across all connections in the order they asked, so that
// their reads do not compete for the disk.
#pragma once
#include <cstdint>

#include "os/event.h"

// One entry per connection slot, so the ring can never overflow in use.
constexpr uint32_t reader_ring_size = 64;

// The reader at `tail` reads; the others wait on their own events.
struct reader_queue {
    event_t* ring[reader_ring_size]; // readers' events, oldest at tail
    uint32_t head;                   // where the next reader is added
    uint32_t tail;                   // the reader whose turn it is
    bool full;                       // head == tail with every entry taken
    event_t lock;                    // auto-reset, created signalled: taken by waiting, given back by signalling
};

// The process's queue, used by file delivery.
extern reader_queue g_reader_queue;

// Empties the queue and creates its lock; before any reader uses it.
void reader_queue_init(reader_queue* q);
// Signals and closes the lock: later readers read at once without queueing.
void reader_queue_release(reader_queue* q);

// Adds the reader (its own auto-reset event) behind the others and returns
// once it is its turn. False when it was not queued (no lock, no event, or a
// full ring): it then reads at once and must not call reader_queue_leave.
bool reader_queue_enter(reader_queue* q, event_t* me);
// Takes the reader out of the queue and wakes the next one. A reader whose
// wait failed leaves from the middle; the order of the others stays.
void reader_queue_leave(reader_queue* q, event_t* me);
