#include "os/file.h"

#include <fcntl.h>
#include <limits.h>

#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/clock.h"

int file_last_error() { return errno; }

// An empty name names no file.
static bool usable(const char* name)
{
    if (name && name[0]) return true;
    errno = ENOENT;
    return false;
}

file_t file_open_read(const char* name, uint32_t hints)
{
    if (!usable(name)) return invalid_file;
    int fd = -1;
    int flags = O_RDONLY | O_CLOEXEC | ((hints & file_hint_nonblocking) ? O_NONBLOCK : 0);
    if (hints & file_hint_unbuffered) {
        fd = open(name, flags | O_DIRECT);
        // tmpfs and some other file systems refuse O_DIRECT: read through the cache.
        if (fd < 0 && errno != EINVAL) return invalid_file;
    }
    if (fd < 0) fd = open(name, flags);
    if (fd < 0) return invalid_file;
    if (hints & file_hint_sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (hints & file_hint_random) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return fd;
}

file_t file_create(const char* name)
{
    if (!usable(name)) return invalid_file;
    return open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

int64_t file_read(file_t f, void* buffer, uint64_t size)
{
    ssize_t n;
    do {
        n = read(f, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t file_read_at(file_t f, void* buffer, uint64_t size, uint64_t offset)
{
    ssize_t n;
    do {
        n = pread(f, buffer, size, (off_t)offset);
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t file_write_all(file_t f, const void* data, uint64_t size)
{
    const char* p = static_cast<const char*>(data);
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = write(f, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += (uint64_t)n;
    }
    return (int64_t)size;
}

int file_get_info(file_t f, file_info* info)
{
    struct stat st;
    if (fstat(f, &st) != 0) return -1;
    info->size = (uint64_t)st.st_size;
    info->write_time = ((uint64_t)st.st_mtim.tv_sec + filetime_unix_offset_s) * 10000000ULL +
                       (uint64_t)st.st_mtim.tv_nsec / 100;
    info->is_directory = S_ISDIR(st.st_mode);
    return 0;
}

int file_delete(const char* name)
{
    if (!usable(name)) return -1;
    return unlink(name);
}

void file_close(file_t f)
{
    if (f != invalid_file) close(f);
}

uint64_t executable_path(char* out, uint64_t capacity)
{
    if (capacity < 2) return 0;
    ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
    // A result that fills the buffer may have been cut short.
    if (n <= 0 || (uint64_t)n >= capacity - 1) return 0;
    out[n] = 0;
    return (uint64_t)n;
}

static_assert(file_name_capacity == PATH_MAX, "file names are bounded by the system's path limit");
