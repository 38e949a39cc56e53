#include "core/settings_file.h"

#include <cstdlib>
#include <cstring>

#include "assets/embedded.h"
#include "core/text.h"
#include "net/server.h"
#include "service/service.h"

namespace {

// Used when no better name can be built; relative to the current directory.
constexpr char16_t fallback_name[] = u"quillnest.ini";
// The settings file takes the extension of fallback_name.
constexpr char16_t settings_extension[] = u".ini";
constexpr uint64_t settings_extension_length = 4;

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

uint64_t length16(const char16_t* s)
{
    uint64_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Units up to and including the last separator; 0 when there is none.
uint64_t directory_length(const char16_t* path, uint64_t length)
{
    while (length > 0 && !is_separator(path[length - 1])) --length;
    return length;
}

// Start of the run of decimal digits that ends name (name_length when none),
// with its value in *value, saturated above 65,535.
uint64_t trailing_digits(const char16_t* name, uint64_t name_length, uint32_t* value)
{
    uint64_t start = name_length;
    while (start > 0 && is_digit(name[start - 1])) --start;
    *value = 0;
    for (uint64_t i = start; i < name_length; ++i) {
        *value = *value * 10 + (uint32_t)(name[i] - u'0');
        if (*value > 65535) *value = 65536;
    }
    return start;
}

// The part of the service name that names the settings file: without a
// "__digits" suffix whose value is at most 65,535 (that value is the port)
// and without a bare "__" at the end.
uint64_t service_stem(const char16_t* name, uint16_t* port)
{
    uint64_t length = length16(name);
    uint32_t value;
    uint64_t digits = trailing_digits(name, length, &value);
    *port = 0;
    if (digits < 2 || name[digits - 1] != u'_' || name[digits - 2] != u'_') return length;
    if (digits == length) return digits - 2;
    if (value > 65535) return length;
    *port = (uint16_t)value;
    return digits - 2;
}

// Opens the settings file for reading; 0, or the error of the failed open.
int open_settings(const char16_t* path, file_t* file)
{
    char native[file_name_capacity];
    int bad_name = native_file_name(native, path);
    *file = invalid_file;
    if (bad_name) return bad_name;
    *file = file_open_read(native, file_hint_none);
    if (*file != invalid_file) return 0;
    int error = file_last_error();
    return error != 0 ? error : -1;
}

// Creates the missing settings file from the template; a half-written file
// is removed again so that the next start tries anew.
void create_from_template(const char16_t* path, const char16_t* service_name)
{
    char native[file_name_capacity];
    if (native_file_name(native, path) != 0) return;
    file_t file = file_create(native);
    if (file == invalid_file) return;
    int64_t written = write_settings_template(file, service_name);
    file_close(file);
    if (written < 0) file_delete(native);
}

uint16_t template_unit(const unsigned char* text, uint64_t unit)
{
    return (uint16_t)(text[2 * unit] | (text[2 * unit + 1] << 8));
}

// Finds the value of the template's first «port = value» line: its first and
// one-past-last unit. False when there is no such line.
bool find_port_value(const unsigned char* text, uint64_t units, uint64_t* first, uint64_t* end)
{
    static const char16_t port_key[] = u"port";
    uint64_t line = 0;
    while (line < units) {
        uint64_t i = line;
        uint64_t k = 0;
        while (port_key[k] && i < units && template_unit(text, i) == port_key[k]) ++i, ++k;
        if (!port_key[k]) {
            while (i < units && (template_unit(text, i) == u' ' || template_unit(text, i) == u'\t')) ++i;
            if (i < units && template_unit(text, i) == u'=') {
                ++i;
                while (i < units && (template_unit(text, i) == u' ' || template_unit(text, i) == u'\t')) ++i;
                *first = i;
                while (i < units && template_unit(text, i) != u'\r' && template_unit(text, i) != u'\n') ++i;
                *end = i;
                return true;
            }
        }
        while (line < units && template_unit(text, line) != u'\n') ++line;
        ++line;
    }
    return false;
}

} // namespace

uint64_t settings_file_name(char16_t* path, uint64_t capacity, const char16_t* base,
                            const char16_t* service_name, bool named, uint16_t* service_port,
                            bool* may_create)
{
    *service_port = 0;
    uint64_t base_length = length16(base);
    uint64_t directory = directory_length(base, base_length);
    const char16_t* stem;
    uint64_t stem_length;
    if (named) {
        stem = service_name ? service_name : u"";
        stem_length = service_stem(stem, service_port);
        // Without a directory the name would land wherever the process happens to run.
        *may_create = directory > 0;
    } else {
        stem = base + directory;
        stem_length = base_length - directory;
        for (uint64_t i = stem_length; i > 0; --i) {
            if (stem[i - 1] == u'.') {
                stem_length = i - 1;
                break;
            }
        }
        *may_create = true;
    }
    uint64_t length = directory + stem_length + settings_extension_length;
    if (length + 1 > capacity) {
        std::memcpy(path, fallback_name, sizeof(fallback_name));
        *may_create = false;
        return length16(fallback_name);
    }
    std::memmove(path, base, directory * sizeof(char16_t));
    std::memmove(path + directory, stem, stem_length * sizeof(char16_t));
    std::memcpy(path + directory + stem_length, settings_extension, sizeof(settings_extension));
    return length;
}

int locate_settings_file_from(G_SOCKET* server, const char16_t* program_path,
                              const settings_origin* origin, file_t* file)
{
    *file = invalid_file;
    server->program_path = program_path;
    // Later readings keep the service port of the first: it is the port the
    // server listens on, so the stored port keeps telling the truth.
    if (server->settings_path) {
        if (server->settings_path[0] == 0) return -1;
        return open_settings(server->settings_path, file);
    }

    server->service_port = 0;
    char16_t* path = static_cast<char16_t*>(std::malloc(settings_path_capacity * sizeof(char16_t)));
    if (!path) return -1;
    const char16_t* base = fallback_name;
    bool may_create = false;
    if (origin->executable && length16(origin->executable) < settings_path_capacity) {
        base = origin->executable;
        may_create = true;
    } else if (program_path && length16(program_path) < settings_path_capacity) {
        base = program_path;
        may_create = true;
    }
    bool named_may_create;
    uint64_t length = settings_file_name(path, settings_path_capacity, base, origin->service_name,
                                         origin->named, &server->service_port, &named_may_create);
    may_create = may_create && named_may_create;

    int rc = open_settings(path, file);
    // Only a file that is not there is created: an existing one that cannot
    // be opened is the operator's, never overwritten.
    if (rc == file_error_not_found && may_create) {
        create_from_template(path, origin->service_name ? origin->service_name : u"");
        rc = open_settings(path, file);
    }
    if (*file == invalid_file) length = 0;
    path[length] = 0;

    char16_t* fitted = static_cast<char16_t*>(std::realloc(path, (length + 1) * sizeof(char16_t)));
    server->settings_path = fitted ? fitted : path;
    server->settings_directory_length = directory_length(server->settings_path, length);
    return rc;
}

int locate_settings_file(G_SOCKET* server, const char16_t* program_path, file_t* file)
{
    settings_origin origin = {nullptr, g_service.name, g_service.service_mode || g_service.name_given};
    char16_t* executable = nullptr;
    if (!server->settings_path) {
        executable = static_cast<char16_t*>(std::malloc(settings_path_capacity * sizeof(char16_t)));
        char native[file_name_capacity];
        if (executable && executable_path(native, sizeof(native)) > 0 &&
            utf8_to_utf16(executable, settings_path_capacity, native) > 0) {
            origin.executable = executable;
        }
    }
    int rc = locate_settings_file_from(server, program_path, &origin, file);
    std::free(executable);
    return rc;
}

int64_t write_settings_template(file_t file, const char16_t* service_name)
{
    const embedded_file* record = &g_settings_template;
    if (!service_name) service_name = u"";
    uint32_t value;
    uint64_t name_length = length16(service_name);
    trailing_digits(service_name, name_length, &value);
    uint64_t first;
    uint64_t end;
    if (value < 1 || value > 65535 || !find_port_value(record->text, record->unit_count, &first, &end)) {
        return file_write_all(file, record->data, record->length);
    }

    // The port is written as its value, so that leading zeros cannot push digits out.
    char16_t digits[5];
    unsigned char encoded[10];
    uint64_t count = 0;
    for (uint32_t rest = value; rest > 0; rest /= 10) digits[count++] = (char16_t)(u'0' + rest % 10);
    for (uint64_t i = 0; i < count; ++i) {
        encoded[2 * i] = (unsigned char)digits[count - 1 - i];
        encoded[2 * i + 1] = 0;
    }
    uint64_t head = (uint64_t)(record->text - record->data) + 2 * first;
    uint64_t tail = (uint64_t)(record->text - record->data) + 2 * end;
    if (file_write_all(file, record->data, head) < 0 ||
        file_write_all(file, encoded, 2 * count) < 0 ||
        file_write_all(file, record->data + tail, record->length - tail) < 0) {
        return -1;
    }
    return (int64_t)(head + 2 * count + record->length - tail);
}
