#include "os/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// /proc/meminfo has about fifty short lines; what does not fit is not needed.
constexpr uint64_t meminfo_capacity = 8192;

// The number after "key:" in /proc/meminfo, times 1024 when it is given in
// kB; 0 when the key is missing or the file cannot be read.
uint64_t meminfo_value(const char* key)
{
    char text[meminfo_capacity];
    int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint64_t length = 0;
    while (length < sizeof(text) - 1) {
        ssize_t n = read(fd, text + length, sizeof(text) - 1 - length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        length += (uint64_t)n;
    }
    close(fd);
    text[length] = 0;

    uint64_t key_length = std::strlen(key);
    for (const char* line = text; *line;) {
        if (std::strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
            const char* p = line + key_length + 1;
            while (*p == ' ' || *p == '\t') ++p;
            uint64_t value = 0;
            while (*p >= '0' && *p <= '9' && value < (UINT64_MAX - 9) / 10) value = value * 10 + (uint64_t)(*p++ - '0');
            while (*p == ' ') ++p;
            if (p[0] == 'k' && p[1] == 'B') value *= 1024;
            return value;
        }
        const char* next = std::strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return 0;
}

} // namespace

uint64_t memory_huge_page_size() { return meminfo_value("Hugepagesize"); }

uint64_t memory_huge_pages_free() { return meminfo_value("HugePages_Free"); }

void* memory_map_huge(uint64_t size)
{
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | MAP_POPULATE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* memory_map_aligned(uint64_t size, uint64_t alignment)
{
    if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0 || size > UINT64_MAX - alignment) {
        errno = EINVAL;
        return nullptr;
    }
    // Map one alignment more than needed and give back the ends, which leaves
    // an aligned mapping of exactly size bytes.
    uint64_t span = size + alignment;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    uintptr_t start = (uintptr_t)p;
    uintptr_t aligned = (start + alignment - 1) & ~(uintptr_t)(alignment - 1);
    uint64_t head = aligned - start;
    uint64_t tail = span - head - size;
    if (head) munmap(p, head);
    if (tail) munmap((char*)aligned + size, tail);
    return (void*)aligned;
}

int memory_advise_huge(void* base, uint64_t size) { return madvise(base, size, MADV_HUGEPAGE) == 0 ? 0 : -1; }

int memory_lock(void* base, uint64_t size) { return mlock(base, size) == 0 ? 0 : -1; }

int memory_unlock(void* base, uint64_t size) { return munlock(base, size) == 0 ? 0 : -1; }

int memory_unmap(void* base, uint64_t size) { return munmap(base, size) == 0 ? 0 : -1; }

int memory_last_error() { return errno; }
