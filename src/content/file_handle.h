// The file-handle wrapper: one open file or directory of file delivery, with
// the information read from it and the error of its last failed operation.
// Reads are synchronous and positioned, so a wrapper never shares a file
// offset with anything else.
#pragma once
#include <cstdint>

#include "os/file.h"

// Failed opens are not printed: for a web server a missing file is an
// ordinary "404 Not Found", not a fault worth a console line. Set at start-up.
extern bool g_file_quiet;

struct file_handle {
    file_t h_file;       // the open file, or invalid_file
    bool is_open;        // a handle is held
    bool quiet;          // do not print open failures; copied from g_file_quiet
    uint32_t error;      // error number of the last failed operation, 0 after success
    uint64_t position;   // file offset of the next read
    uint64_t size;       // bytes, from file_read_info
    uint64_t write_time; // FILETIME of the last write, from file_read_info
    bool is_directory;   // the handle is a directory, from file_read_info
};

// Closes the handle when one is held and puts the wrapper into its closed
// state (everything zero, h_file invalid, quiet from g_file_quiet).
void file_reset(file_handle* f);

// Opens an existing file or directory for reading with the hints of
// os/file.h. 0, or the error number (kept in `error`, printed as "open(name)"
// unless quiet); -1 when the wrapper is already open.
int file_open(file_handle* f, const char16_t* name, uint32_t hints);

// Reads size, last-write time and the directory flag of the open handle.
// 0, or the error number (the three fields are then 0).
int file_read_info(file_handle* f);

// Reads up to size bytes at `position` and advances it by the count. The
// count, 0 at the end of the file, -1 on failure (`error` keeps the reason).
int64_t file_handle_read(file_handle* f, void* buffer, uint64_t size);

// Moves the open handle and everything the wrapper knows from `from` into
// `to`, closing what `to` held; `from` is left closed without closing the
// moved handle.
void file_move(file_handle* to, file_handle* from);
