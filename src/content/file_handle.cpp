#include "content/file_handle.h"

#include "core/text.h"
#include "service/console.h"

bool g_file_quiet = true;

void file_reset(file_handle* f)
{
    if (f->is_open) file_close(f->h_file);
    *f = file_handle{};
    f->h_file = invalid_file;
    f->quiet = g_file_quiet;
}

int file_open(file_handle* f, const char16_t* name, uint32_t hints)
{
    if (f->is_open) return -1;
    // A file system object that is not a file (a FIFO) must not hold the
    // slot's thread in open() until some writer appears.
    char native[file_name_capacity];
    int bad_name = native_file_name(native, name);
    file_t h = bad_name ? invalid_file : file_open_read(native, hints | file_hint_nonblocking);
    if (h == invalid_file) {
        f->error = bad_name ? (uint32_t)bad_name : (uint32_t)file_last_error();
        if (f->error == 0) f->error = file_error_not_found;
        if (!f->quiet) {
            char context[console_message_capacity];
            console_format(context, sizeof(context), "open(%ls)", name);
            print_error(f->error, context);
        }
        return (int)f->error;
    }
    f->h_file = h;
    f->is_open = true;
    f->error = 0;
    f->position = 0;
    return 0;
}

int file_read_info(file_handle* f)
{
    file_info info{};
    if (!f->is_open || file_get_info(f->h_file, &info) != 0) {
        f->error = f->is_open ? (uint32_t)file_last_error() : (uint32_t)file_error_not_found;
        f->size = 0;
        f->write_time = 0;
        f->is_directory = false;
        return (int)f->error;
    }
    f->size = info.size;
    f->write_time = info.write_time;
    f->is_directory = info.is_directory;
    f->error = 0;
    return 0;
}

int64_t file_handle_read(file_handle* f, void* buffer, uint64_t size)
{
    if (!f->is_open) {
        f->error = file_error_not_found;
        return -1;
    }
    int64_t n = file_read_at(f->h_file, buffer, size, f->position);
    if (n < 0) {
        f->error = (uint32_t)file_last_error();
        return -1;
    }
    f->position += (uint64_t)n;
    f->error = 0;
    return n;
}

void file_move(file_handle* to, file_handle* from)
{
    file_reset(to);
    *to = *from;
    *from = file_handle{};
    from->h_file = invalid_file;
    from->quiet = g_file_quiet;
}
