#include "content/reader_queue.h"

reader_queue g_reader_queue;

void reader_queue_init(reader_queue* q)
{
    q->head = 0;
    q->tail = 0;
    q->full = false;
    for (uint32_t i = 0; i < reader_ring_size; ++i) q->ring[i] = nullptr;
    event_create(&q->lock, false, true);
}

void reader_queue_release(reader_queue* q)
{
    event_signal(&q->lock);
    event_close(&q->lock);
}

bool reader_queue_enter(reader_queue* q, event_t* me)
{
    // Without the lock or the reader's own event there is no safe way to
    // queue; the read then runs at once, which costs only ordering.
    if (me == nullptr || !me->created.load() || !q->lock.created.load()) return false;
    if (event_wait(&q->lock, event_infinite) != event_signalled) return false;
    if (q->full) {
        event_signal(&q->lock);
        return false;
    }
    bool others = q->head != q->tail;
    q->ring[q->head] = me;
    q->head = (q->head + 1) % reader_ring_size;
    q->full = q->head == q->tail;
    event_signal(&q->lock);
    // The reader ahead signals this event when it leaves; a signal that came
    // before this wait is kept by the event, so none is lost.
    if (others) event_wait(me, event_infinite);
    return true;
}

void reader_queue_leave(reader_queue* q, event_t* me)
{
    if (event_wait(&q->lock, event_infinite) != event_signalled) return;
    uint32_t count = q->full ? reader_ring_size : (q->head + reader_ring_size - q->tail) % reader_ring_size;
    uint32_t at = 0;
    while (at < count && q->ring[(q->tail + at) % reader_ring_size] != me) ++at;
    if (at == 0 && count != 0) {
        q->tail = (q->tail + 1) % reader_ring_size;
        q->full = false;
        if (q->tail != q->head) event_signal(q->ring[q->tail]);
    } else if (at < count) {
        // Only a reader whose wait failed (its event closed at shutdown)
        // leaves from the middle: close the gap so the order stays intact.
        for (uint32_t i = at; i + 1 < count; ++i)
            q->ring[(q->tail + i) % reader_ring_size] = q->ring[(q->tail + i + 1) % reader_ring_size];
        q->head = (q->head + reader_ring_size - 1) % reader_ring_size;
        q->full = false;
    }
    event_signal(&q->lock);
}
