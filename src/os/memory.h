// Large memory mappings: huge pages, alignment, locking into memory.
#pragma once
#include <cstdint>

// The system's huge-page size in bytes, 0 when it reports none.
uint64_t memory_huge_page_size();
// How many reserved huge pages are free right now, 0 when none are reserved.
uint64_t memory_huge_pages_free();
// Maps size bytes (a multiple of the huge-page size) of reserved huge pages,
// resident and zero-filled; null on failure (memory_last_error tells why).
void* memory_map_huge(uint64_t size);
// Maps size bytes of zero-filled memory whose first byte is a multiple of
// alignment (a power of two); null on failure.
void* memory_map_aligned(uint64_t size, uint64_t alignment);
// Asks for the mapping to be backed by transparent huge pages; 0 or -1.
int memory_advise_huge(void* base, uint64_t size);
// Keeps the pages resident; 0 or -1.
int memory_lock(void* base, uint64_t size);
int memory_unlock(void* base, uint64_t size);
// Releases a mapping of either kind; 0 or -1.
int memory_unmap(void* base, uint64_t size);
// The calling thread's last error number.
int memory_last_error();
