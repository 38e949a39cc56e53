#include "os/file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/text.h"
#include "os/clock.h"

int file_last_error() { return errno; }

// Converts a name into the caller's PATH_MAX buffer; false (errno set) when it
// cannot be a path on this system.
static bool to_native(const char16_t* name, char (&out)[PATH_MAX])
{
    if (!name || !name[0]) {
        errno = ENOENT;
        return false;
    }
    if (utf16_to_utf8(out, sizeof(out), name) == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

file_t file_open_read(const char16_t* name, uint32_t hints)
{
    char native[PATH_MAX];
    if (!to_native(name, native)) return invalid_file;
    int fd = -1;
    int flags = O_RDONLY | O_CLOEXEC | ((hints & file_hint_nonblocking) ? O_NONBLOCK : 0);
    if (hints & file_hint_unbuffered) {
        fd = open(native, flags | O_DIRECT);
        // tmpfs and some other file systems refuse O_DIRECT: read through the cache.
        if (fd < 0 && errno != EINVAL) return invalid_file;
    }
    if (fd < 0) fd = open(native, flags);
    if (fd < 0) return invalid_file;
    if (hints & file_hint_sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (hints & file_hint_random) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return fd;
}

file_t file_create(const char16_t* name)
{
    char native[PATH_MAX];
    if (!to_native(name, native)) return invalid_file;
    return open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

int file_delete(const char16_t* name)
{
    char native[PATH_MAX];
    if (!to_native(name, native)) return -1;
    return unlink(native);
}

void file_close(file_t f)
{
    if (f != invalid_file) close(f);
}

uint64_t executable_path(char16_t* out, uint64_t capacity)
{
    char native[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", native, sizeof(native) - 1);
    if (n <= 0) return 0;
    native[n] = 0;
    return utf8_to_utf16(out, capacity, native);
}
