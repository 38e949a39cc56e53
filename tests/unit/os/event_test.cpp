// Events and threads of the OS layer: the synchronisation every slot relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "os/clock.h"
#include "os/event.h"
#include "os/socket.h"
#include "os/thread.h"

namespace {

uint64_t elapsed_ms(uint64_t since_ns) { return (clock_monotonic_ns() - since_ns) / 1000000; }

TEST(Event, AutoResetLetsOneWaitThroughPerSignal)
{
    event_t e{};
    ASSERT_EQ(event_create(&e, false, true), 0);
    EXPECT_EQ(event_wait(&e, 0), event_signalled);
    EXPECT_EQ(event_wait(&e, 0), event_timed_out);
    event_signal(&e);
    event_signal(&e);
    EXPECT_EQ(event_wait(&e, 0), event_signalled);
    EXPECT_EQ(event_wait(&e, 0), event_timed_out);
    event_close(&e);
}

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    event_t e{};
    ASSERT_EQ(event_create(&e, true, false), 0);
    EXPECT_EQ(event_wait(&e, 0), event_timed_out);
    event_signal(&e);
    EXPECT_EQ(event_wait(&e, 0), event_signalled);
    EXPECT_EQ(event_wait(&e, 10), event_signalled);
    event_reset(&e);
    EXPECT_EQ(event_wait(&e, 0), event_timed_out);
    event_close(&e);
}

TEST(Event, WaitWithTimeOutReturnsAfterItAndWakesOnSignal)
{
    event_t e{};
    ASSERT_EQ(event_create(&e, false, false), 0);
    uint64_t started = clock_monotonic_ns();
    EXPECT_EQ(event_wait(&e, 100), event_timed_out);
    EXPECT_GE(elapsed_ms(started), 100u);

    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        event_signal(&e);
    });
    EXPECT_EQ(event_wait(&e, event_infinite), event_signalled);
    signaller.join();
    event_close(&e);
}

TEST(Event, ClosingWakesEveryWaiterAndFailsLaterWaits)
{
    event_t e{};
    ASSERT_EQ(event_create(&e, true, false), 0);
    std::atomic<int> failed{0};
    std::thread waiters[4];
    for (std::thread& t : waiters)
        t = std::thread([&] {
            if (event_wait(&e, event_infinite) == event_failed) failed.fetch_add(1);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event_close(&e);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(failed.load(), 4);
    EXPECT_FALSE(e.created.load());
    EXPECT_EQ(event_wait(&e, event_infinite), event_failed);
    event_signal(&e); // a closed event is neither signalled nor waited on
    EXPECT_EQ(event_wait(&e, 0), event_failed);
}

TEST(Event, AnEventNeverCreatedIsNeitherWaitedOnNorSignalled)
{
    event_t e{};
    event_signal(&e);
    event_reset(&e);
    EXPECT_EQ(event_wait(&e, event_infinite), event_failed);
    event_close(&e);
}

TEST(Thread, JoinWaitsOrTimesOut)
{
    event_t release{};
    ASSERT_EQ(event_create(&release, true, false), 0);
    thread_record t{};
    t.stack_reservation = thread_stack_reservation;
    ASSERT_EQ(thread_create(&t, [](void* e) { event_wait(static_cast<event_t*>(e), event_infinite); }, &release),
              0);
    EXPECT_TRUE(t.created);
    EXPECT_EQ(t.creation_flags, 0x10000u);
    EXPECT_EQ(thread_join(&t, 50), err_timed_out);
    EXPECT_TRUE(t.created);
    event_signal(&release);
    EXPECT_EQ(thread_join(&t, event_infinite), 0);
    EXPECT_FALSE(t.created);
    event_close(&release);
}

} // namespace
