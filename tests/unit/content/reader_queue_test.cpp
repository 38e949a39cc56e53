#include "content/reader_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A queue of its own and one event per reader, as each slot has.
class ReaderQueue : public ::testing::Test {
protected:
    static constexpr int readers = 8;

    void SetUp() override
    {
        reader_queue_init(&queue);
        for (event_t& e : events) ASSERT_EQ(event_create(&e, false, false), 0);
    }
    void TearDown() override
    {
        for (event_t& e : events) event_close(&e);
        reader_queue_release(&queue);
    }

    // Waits until the queue holds n readers.
    void wait_for_count(uint32_t n)
    {
        for (int i = 0; i < 5000; ++i) {
            event_wait(&queue.lock, event_infinite);
            uint32_t count = queue.full ? reader_ring_size : (queue.head + reader_ring_size - queue.tail) % reader_ring_size;
            event_signal(&queue.lock);
            if (count == n) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FAIL() << "the queue never held " << n << " readers";
    }

    reader_queue queue;
    event_t events[readers];
    std::mutex order_lock;
    std::vector<int> order;
};

TEST_F(ReaderQueue, ReadersTakeTheirTurnsInArrivalOrder)
{
    ASSERT_TRUE(reader_queue_enter(&queue, &events[0]));
    std::vector<std::thread> threads;
    for (int i = 1; i < readers; ++i) {
        // Each reader is queued before the next one arrives.
        threads.emplace_back([this, i] {
            ASSERT_TRUE(reader_queue_enter(&queue, &events[i]));
            {
                std::lock_guard<std::mutex> hold(order_lock);
                order.push_back(i);
            }
            reader_queue_leave(&queue, &events[i]);
        });
        wait_for_count((uint32_t)i + 1);
    }
    {
        std::lock_guard<std::mutex> hold(order_lock);
        EXPECT_TRUE(order.empty()) << "a reader read while the first one held its turn";
    }
    reader_queue_leave(&queue, &events[0]);
    for (std::thread& t : threads) t.join();
    std::vector<int> expected;
    for (int i = 1; i < readers; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(queue.head, queue.tail);
    EXPECT_FALSE(queue.full);
}

TEST_F(ReaderQueue, AReaderLeavingFromTheMiddleKeepsTheOrderOfTheOthers)
{
    ASSERT_TRUE(reader_queue_enter(&queue, &events[0]));
    std::vector<std::thread> threads;
    for (int i = 1; i <= 3; ++i) {
        threads.emplace_back([this, i] {
            bool queued = reader_queue_enter(&queue, &events[i]);
            ASSERT_TRUE(queued);
            {
                std::lock_guard<std::mutex> hold(order_lock);
                order.push_back(i);
            }
            reader_queue_leave(&queue, &events[i]);
        });
        wait_for_count((uint32_t)i + 1);
    }
    // Reader 2's event is closed under it (as at shutdown): its wait fails,
    // it goes on at once and leaves from the middle of the queue.
    event_close(&events[2]);
    threads[1].join();
    wait_for_count(3);
    reader_queue_leave(&queue, &events[0]);
    threads[0].join();
    threads[2].join();
    EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(queue.head, queue.tail);
    ASSERT_EQ(event_create(&events[2], false, false), 0);
}

TEST_F(ReaderQueue, AFullRingLetsTheNextReaderReadAtOnce)
{
    event_t extra[reader_ring_size];
    for (event_t& e : extra) ASSERT_EQ(event_create(&e, false, false), 0);
    // Fill the ring without waiting: the first reader holds the turn, the
    // others are entered by hand as waiting readers would be.
    ASSERT_TRUE(reader_queue_enter(&queue, &extra[0]));
    for (uint32_t i = 1; i < reader_ring_size; ++i) {
        queue.ring[queue.head] = &extra[i];
        queue.head = (queue.head + 1) % reader_ring_size;
    }
    queue.full = queue.head == queue.tail;
    ASSERT_TRUE(queue.full);
    EXPECT_FALSE(reader_queue_enter(&queue, &events[0])) << "a full ring must not take another reader";

    // Leaving in order empties it, each leave waking the next reader.
    for (uint32_t i = 0; i < reader_ring_size; ++i) {
        if (i > 0) {
            EXPECT_EQ(event_wait(&extra[i], 0), event_signalled) << "reader " << i << " was not woken";
        }
        reader_queue_leave(&queue, &extra[i]);
    }
    EXPECT_EQ(queue.head, queue.tail);
    EXPECT_FALSE(queue.full);
    for (event_t& e : extra) event_close(&e);
}

TEST_F(ReaderQueue, WithoutItsLockOrAnEventNobodyQueues)
{
    EXPECT_FALSE(reader_queue_enter(&queue, nullptr));
    reader_queue_release(&queue);
    EXPECT_FALSE(reader_queue_enter(&queue, &events[0]));
    reader_queue_init(&queue);
}

} // namespace
