// The resident memory region behind every connection buffer: reserved once at
// start-up in whole units (the huge-page size, 2 MiB when none is reported),
// kept resident, zeroed and released at shutdown.
#pragma once
#include <cstdint>

struct memory_region {
    bool physical;              // made of explicit huge pages
    bool locked;                // the aligned mapping is locked into memory
    uint64_t pages_requested;   // region size / system page size
    uint64_t pages_obtained;
    uint64_t pfn_array_size;    // pages_requested * 8 (Windows bookkeeping; unused here)
    uint64_t* pfn_array;        // always null here
    bool verbose;               // print progress lines on standard error
    uint64_t unit_count;        // units requested
    uint64_t unit_size;         // bytes per unit
    uint64_t total_size;        // unit_size * unit_count
    char* base;                 // first byte; null when no region is held
};

// The huge-page size, or 2 MiB when the system reports none. With a region
// given, its physical flag says whether explicit huge pages may be tried.
uint64_t large_page_minimum(memory_region* region);
// Reserves unit_count units; 0 with base set, -1 (message printed) without.
int region_reserve(memory_region* region, uint64_t unit_count);
// Zeroes and releases the region; -1 when none was held. Harmless twice.
int region_release(memory_region* region);
// region_release, then zero the record.
void region_reset(memory_region* region);
