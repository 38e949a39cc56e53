// Where the settings file lives: beside the executable, named after the
// executable or after the service, and created from the built-in template
// when it is missing.
#pragma once
#include <cstdint>

#include "os/file.h"

struct G_SOCKET;

// Capacity of the settings path buffer in UTF-16 units (hard limit, NUL included).
constexpr uint64_t settings_path_capacity = 65536;

// What the first reading learns from outside the server object.
struct settings_origin {
    const char16_t* executable;   // the executable's full path; null when it cannot be had
    const char16_t* service_name; // the service object's name
    bool named;                   // service mode, or a name given on the command line
};

// Builds the settings file path in path from base (the executable's or the
// program's path) and the service name. Returns the path's length. When the
// result does not fit into capacity (at least 14 units) the path becomes
// "quillnest.ini" and *may_create is cleared. *service_port receives the port
// carried by a "__digits" suffix of the service name (0 when none).
uint64_t settings_file_name(char16_t* path, uint64_t capacity, const char16_t* base,
                            const char16_t* service_name, bool named, uint16_t* service_port,
                            bool* may_create);

// Opens the settings file for reading into *file (invalid_file when there is
// none). On the first reading (settings_path null) it derives the path from
// the executable and the service object and creates a missing file from the
// template; later readings only open the file found then. Returns 0 when the
// file is open, -1 when no file is to be used, otherwise the error of the last
// open. Called by G_SOCKET::config, one reading at a time.
int locate_settings_file(G_SOCKET* server, const char16_t* program_path, file_t* file);
// The same with the executable path and the service given by the caller.
int locate_settings_file_from(G_SOCKET* server, const char16_t* program_path,
                              const settings_origin* origin, file_t* file);

// Writes the settings template to file; when service_name ends in digits of
// value 1 to 65535, they become the value of the template's port line.
// Returns the bytes written, or -1 when a write failed.
int64_t write_settings_template(file_t file, const char16_t* service_name);
