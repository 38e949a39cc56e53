#include "core/reload_handshake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(ReloadHandshake, AReadingWaitsForResolversAndSlotsWaitForTheReading)
{
    reload_handshake_open();
    uint64_t before = reload_generation();
    ASSERT_TRUE(reload_enter_resolving(3));
    reload_begin();
    std::atomic<bool> waited{false};
    std::thread reader([&] {
        reload_wait_for_resolvers(reload_slot_capacity);
        waited.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waited.load()) << "the reading went on while slot 3 resolved";
    reload_leave_resolving(3);
    reader.join();

    // A slot arriving during the reading steps back until it ends.
    std::atomic<bool> entered{false};
    std::thread slot([&] {
        entered.store(reload_enter_resolving(7));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    EXPECT_FALSE(reload_slot_resolving(7));
    reload_end();
    slot.join();
    EXPECT_TRUE(entered.load());
    EXPECT_TRUE(reload_slot_resolving(7));
    reload_leave_resolving(7);
    EXPECT_EQ(reload_generation(), before);
    reload_count_reading();
    EXPECT_EQ(reload_generation(), before + 1);
    reload_handshake_close();
}

TEST(ReloadHandshake, ClosingReleasesAWaitingSlotAndRefusesLaterOnes)
{
    reload_handshake_open();
    reload_begin();
    std::atomic<int> result{-1};
    std::thread slot([&] { result.store(reload_enter_resolving(1) ? 1 : 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reload_handshake_close();
    slot.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(reload_slot_resolving(1));
    EXPECT_FALSE(reload_enter_resolving(2));
    EXPECT_FALSE(reload_enter_resolving(reload_slot_capacity));
    reload_end();
}

} // namespace
