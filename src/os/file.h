// Files. Names at this boundary are NUL-terminated UTF-8, as the system takes
// them; the program's UTF-16 names are converted by the callers
// (native_file_name in core/text.h).
#pragma once
#include <cstdint>

typedef int file_t;
constexpr file_t invalid_file = -1;

constexpr int file_error_not_found = 2;
constexpr int file_error_name_too_long = 36;

// Capacity of a UTF-8 file name in bytes, NUL included (hard limit of the system).
constexpr uint64_t file_name_capacity = 4096;

// Open hints.
enum : uint32_t {
    file_hint_none = 0,
    file_hint_sequential = 1, // read front to back
    file_hint_random = 2,     // read at scattered offsets
    file_hint_unbuffered = 4, // bypass the page cache when the file system allows it
    file_hint_nonblocking = 8, // never wait in open (a FIFO without a writer)
};

struct file_info {
    uint64_t size;       // bytes
    uint64_t write_time; // FILETIME of the last write
    bool is_directory;
};

// The calling thread's last error.
int file_last_error();

// Opens an existing file or directory for reading; invalid_file on failure.
file_t file_open_read(const char* name, uint32_t hints);
// Creates the file, replacing any file of that name, for writing.
file_t file_create(const char* name);
// Reads up to size bytes at the current position; the count, 0 at the end, -1 on failure.
int64_t file_read(file_t f, void* buffer, uint64_t size);
// Reads up to size bytes at offset; the count, 0 at the end, -1 on failure.
int64_t file_read_at(file_t f, void* buffer, uint64_t size, uint64_t offset);
// Writes all bytes; size, or -1 on failure.
int64_t file_write_all(file_t f, const void* data, uint64_t size);
int file_get_info(file_t f, file_info* info);
int file_delete(const char* name);
void file_close(file_t f);

// The executable's full path, NUL-terminated; its length in bytes, or 0 when it
// cannot be had or does not fit into capacity bytes.
uint64_t executable_path(char* out, uint64_t capacity);
