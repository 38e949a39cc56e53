#include "platform/memory_region.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include "support/capture.h"

namespace {

constexpr uint64_t mib = 1024 * 1024;

TEST(MemoryRegion, UnitIsAPowerOfTwoOfAtLeastTwoMiB)
{
    memory_region region;
    std::memset(&region, 0, sizeof(region));
    uint64_t unit = large_page_minimum(&region);
    EXPECT_GE(unit, 2 * mib);
    EXPECT_EQ(unit & (unit - 1), 0u);
    EXPECT_EQ(large_page_minimum(nullptr), unit);
}

TEST(MemoryRegion, FiveMiBNeedReservesWholeUnits)
{
    memory_region region;
    std::memset(&region, 0, sizeof(region));
    region.verbose = true;
    uint64_t unit = large_page_minimum(nullptr);
    uint64_t count = (5 * mib + unit - 1) / unit;
    if (unit == 2 * mib) {
        EXPECT_EQ(count, 3u);
    }

    int rc = -1;
    std::string messages = capture(2, [&] { rc = region_reserve(&region, count); });
    ASSERT_EQ(rc, 0) << messages;
    ASSERT_NE(region.base, nullptr);
    EXPECT_EQ(region.unit_size, unit);
    EXPECT_EQ(region.unit_count, count);
    EXPECT_EQ(region.total_size, unit * count);
    EXPECT_EQ((uintptr_t)region.base % unit, 0u);

    // Every byte is there, zero, and writable.
    for (uint64_t i = 0; i < region.total_size; ++i) {
        if (region.base[i] != 0) {
            FAIL() << "byte " << i << " is not zero";
        }
    }
    std::memset(region.base, 0x5A, region.total_size);

    if (!region.physical) {
        char want[128];
        std::snprintf(want, sizeof(want), ":: page size %3u MB  :: align %4u MB RAM at: 0x%016llx %s\n",
                      (unsigned)(unit >> 20), (unsigned)((unit * count) >> 20),
                      (unsigned long long)(uintptr_t)region.base, region.locked ? "[LOCKED]" : "");
        EXPECT_EQ(messages, want);
    }

    EXPECT_EQ(region_release(&region), 0);
    EXPECT_EQ(region.base, nullptr);
    EXPECT_EQ(region_release(&region), -1);
}

TEST(MemoryRegion, QuietWithoutVerbose)
{
    memory_region region;
    std::memset(&region, 0, sizeof(region));
    int rc = -1;
    std::string messages = capture(2, [&] { rc = region_reserve(&region, 1); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(messages, "");
    region_reset(&region);
    memory_region zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(&region, &zero, sizeof(region)), 0);
    region_reset(&region);
}

TEST(MemoryRegion, ImpossibleSizesFailCleanly)
{
    const uint64_t counts[] = {0, 1ull << 40, UINT64_MAX / 2, UINT64_MAX};
    for (uint64_t count : counts) {
        memory_region region;
        std::memset(&region, 0, sizeof(region));
        int rc = 0;
        std::string messages = capture(2, [&] { rc = region_reserve(&region, count); });
        EXPECT_EQ(rc, -1) << count;
        EXPECT_EQ(region.base, nullptr) << count;
        EXPECT_EQ(messages.rfind("!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: ", 0), 0u) << messages;
        EXPECT_EQ(region_release(&region), -1);
    }
}

TEST(MemoryRegion, SecondReserveKeepsTheFirst)
{
    memory_region region;
    std::memset(&region, 0, sizeof(region));
    ASSERT_EQ(region_reserve(&region, 1), 0);
    char* first = region.base;
    EXPECT_EQ(region_reserve(&region, 1), -1);
    EXPECT_EQ(region.base, first);
    EXPECT_EQ(region_release(&region), 0);
}

} // namespace
