// The region behind every connection buffer. Explicit huge pages are used when
// the system has enough of them reserved; otherwise an ordinary mapping aligned
// to the huge-page size, backed by transparent huge pages where possible and
// locked into memory where the limits allow it.
#include "platform/memory_region.h"

#include <cstring>

#include "os/memory.h"
#include "os/process.h"
#include "service/console.h"

// The unit when the system reports no huge-page size.
constexpr uint64_t default_unit_size = 0x200000;

constexpr int error_invalid_argument = 22;
constexpr int error_out_of_memory = 12;

uint64_t large_page_minimum(memory_region* region)
{
    if (region) region->physical = false;
    uint64_t size = memory_huge_page_size();
    // Sizes are printed in MiB and the unit is kept as 32 bits wide, as the
    // record promises; anything else is not a usable unit.
    if (size < default_unit_size || size > UINT32_MAX || (size & (size - 1)) != 0) return default_unit_size;
    if (region) region->physical = true;
    return size;
}

// Explicit huge pages are only worth a try when enough of them are reserved;
// when they are not, the aligned path is taken without a word, as it is when
// the right to lock memory is missing.
static bool huge_pages_available(const memory_region* region)
{
    if (memory_huge_page_size() != region->unit_size) return false;
    return memory_huge_pages_free() >= region->unit_count;
}

static char* reserve_huge(memory_region* region)
{
    region->pages_requested = region->total_size / system_page_size();
    void* base = memory_map_huge(region->total_size);
    region->pages_obtained = base ? region->pages_requested : 0;
    if (base && region->verbose)
        console_eprintf(":: AWE %9u MB physical RAM at: 0x%016llx\n", (uint32_t)(region->total_size >> 20),
                        (unsigned long long)(uintptr_t)base);
    return static_cast<char*>(base);
}

int region_reserve(memory_region* region, uint64_t unit_count)
{
    // A region is reserved once; a second reservation would lose the first.
    if (region->base) return -1;
    region->locked = false;
    region->pfn_array = nullptr;
    region->pfn_array_size = 0;
    region->unit_count = unit_count;
    region->unit_size = large_page_minimum(region);
    if (unit_count == 0 || unit_count > UINT64_MAX / region->unit_size) {
        region->total_size = 0;
        region->physical = false;
        print_error_stderr(unit_count == 0 ? error_invalid_argument : error_out_of_memory,
                           "!! _aligned_malloc() failed to allocate RAM!");
        return -1;
    }
    region->total_size = region->unit_size * unit_count;

    if (region->physical) region->physical = huge_pages_available(region);
    if (region->physical) {
        region->base = reserve_huge(region);
        if (!region->base) {
            int error = memory_last_error();
            region->physical = false;
            if (region->verbose) console_eprintf("\n");
            print_error_stderr((uint32_t)error, "!! Failed to allocate physical RAM, the feature will be disabled!");
        }
    }

    if (region->verbose)
        console_eprintf(region->physical ? ":: page size %3u MB\n" : ":: page size %3u MB  ",
                        (uint32_t)(region->unit_size >> 20));

    int error = 0;
    if (!region->physical) {
        region->base = static_cast<char*>(memory_map_aligned(region->total_size, region->unit_size));
        if (!region->base) error = memory_last_error();
        region->pages_requested = region->total_size / system_page_size();
        region->pages_obtained = 0;
        if (region->base) {
            memory_advise_huge(region->base, region->total_size);
            region->locked = memory_lock(region->base, region->total_size) == 0;
        }
        if (region->verbose)
            console_eprintf(":: align %4u MB RAM at: 0x%016llx %s\n", (uint32_t)(region->total_size >> 20),
                            (unsigned long long)(uintptr_t)region->base, region->locked ? "[LOCKED]" : "");
        // Writing every byte makes every page resident now rather than on
        // the first request that reaches it.
        if (region->locked) std::memset(region->base, 0, region->total_size);
    }

    if (region->base) return 0;
    print_error_stderr((uint32_t)error, "!! _aligned_malloc() failed to allocate RAM!");
    return -1;
}

int region_release(memory_region* region)
{
    if (!region->base) return -1;
    region->total_size = region->unit_size * region->unit_count;
    // Connection data must not outlive the server in memory that stayed
    // resident, so such a region is cleared before it goes back.
    if (region->physical || region->locked) std::memset(region->base, 0, region->total_size);
    if (region->locked) memory_unlock(region->base, region->total_size);
    memory_unmap(region->base, region->total_size);
    region->base = nullptr;
    return 0;
}

void region_reset(memory_region* region)
{
    region_release(region);
    std::memset(region, 0, sizeof(*region));
}
