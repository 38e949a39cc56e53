// Console output: the printf-style writer, the error lines, timestamps, banner
// colours, and where standard output goes (terminal, another process's
// terminal, log file).
#include "service/console.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/text.h"
#include "os/clock.h"
#include "os/console.h"
#include "service/service.h"

shadow_console g_shadow_console;
event_t& g_console_stop = g_shadow_console.stop_event;

namespace {

// The name in the title, the banners and the help text, whatever the service is called.
constexpr const char* default_identifier = "mervand.quillnest";

// Bytes of system error text; longer texts are cut.
constexpr uint64_t error_text_capacity = 256;

// Width and precision above this are cut to it: no message is longer.
constexpr int max_field = (int)console_message_capacity;

// UTF-16 units converted per step when a %ls argument is written; each unit
// becomes at most four bytes.
constexpr uint64_t wide_chunk = 128;

// The message being built: out[0, length) holds it, one byte stays for the NUL.
struct sink {
    char* out;       // caller's buffer
    uint64_t limit;  // bytes that may hold text: capacity - 1
    uint64_t length; // bytes written
    bool cut;        // something did not fit
};

void put(sink* s, const char* text, uint64_t n)
{
    if (s->cut) return;
    uint64_t room = s->limit - s->length;
    if (n > room) {
        n = room;
        s->cut = true;
    }
    std::memcpy(s->out + s->length, text, n);
    s->length += n;
}

void put_spaces(sink* s, int n)
{
    static const char spaces[] = "                                ";
    while (n > 0 && !s->cut) {
        int step = n < (int)sizeof(spaces) - 1 ? n : (int)sizeof(spaces) - 1;
        put(s, spaces, (uint64_t)step);
        n -= step;
    }
}

// The length of text without an incomplete UTF-8 sequence at its end, so that
// a cut message never ends in half a character.
uint64_t whole_characters(const char* text, uint64_t length)
{
    uint64_t i = length;
    int continuation = 0;
    while (i > 0 && continuation < 3 && ((unsigned char)text[i - 1] & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0) return length;
    unsigned char lead = (unsigned char)text[i - 1];
    int needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (lead >= 0xC0 && continuation < needed) return i - 1;
    return length;
}

// Characters a UTF-16 text shows: every unit but the low surrogates, which
// either complete a pair or are dropped by the converter.
int wide_characters(const char16_t* text, uint64_t units)
{
    int n = 0;
    for (uint64_t i = 0; i < units; ++i)
        if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++n;
    return n;
}

void put_wide(sink* s, const char16_t* text, bool left, int width, int precision)
{
    if (!text) text = u"(null)";
    uint64_t units = 0;
    while ((precision < 0 || units < (uint64_t)precision) && text[units]) ++units;
    int pad = width - wide_characters(text, units);
    if (!left) put_spaces(s, pad);
    uint64_t done = 0;
    while (done < units && !s->cut) {
        char16_t chunk[wide_chunk + 1];
        uint64_t n = units - done < wide_chunk ? units - done : wide_chunk;
        // A pair is never split between two steps: the high half waits for
        // the next one.
        if (done + n < units && n > 1 && text[done + n - 1] >= 0xD800 && text[done + n - 1] <= 0xDBFF) --n;
        std::memcpy(chunk, text + done, n * sizeof(char16_t));
        chunk[n] = 0;
        char bytes[wide_chunk * 4 + 1];
        uint64_t length = utf16_to_utf8(bytes, sizeof(bytes), chunk);
        put(s, bytes, length);
        done += n;
    }
    if (left) put_spaces(s, pad);
}

// One conversion of a format, parsed.
struct conversion {
    char flags[8];  // "-+ #0" as written, at most 5
    int width;      // -1: none
    int precision;  // -1: none
    char length[3]; // hh, h, l, ll, z, j, t, L; I becomes z
    char type;      // the conversion letter
};

// The printf conversion text of c for snprintf, with width and precision as numbers.
void conversion_text(const conversion& c, char* out, uint64_t capacity)
{
    char width[16] = "";
    char precision[16] = "";
    if (c.width >= 0) std::snprintf(width, sizeof(width), "%d", c.width);
    if (c.precision >= 0) std::snprintf(precision, sizeof(precision), ".%d", c.precision);
    std::snprintf(out, capacity, "%%%s%s%s%s%c", c.flags, width, precision, c.length, c.type);
}

// Formats one argument with snprintf straight into the sink.
template <typename value_type>
void put_value(sink* s, const conversion& c, value_type value)
{
    if (s->cut) return;
    char pattern[48];
    conversion_text(c, pattern, sizeof(pattern));
    uint64_t room = s->limit - s->length + 1;
    int n = std::snprintf(s->out + s->length, room, pattern, value);
    if (n < 0) return;
    if ((uint64_t)n >= room) {
        s->length = s->limit;
        s->cut = true;
        return;
    }
    s->length += (uint64_t)n;
}

bool length_is(const conversion& c, const char* l) { return std::strcmp(c.length, l) == 0; }

void put_signed(sink* s, conversion& c, va_list* args)
{
    if (length_is(c, "ll")) put_value(s, c, va_arg(*args, long long));
    else if (length_is(c, "l")) put_value(s, c, va_arg(*args, long));
    else if (length_is(c, "z") || length_is(c, "t")) put_value(s, c, va_arg(*args, ptrdiff_t));
    else if (length_is(c, "j")) put_value(s, c, va_arg(*args, intmax_t));
    else put_value(s, c, va_arg(*args, int)); // hh and h are promoted to int
}

void put_unsigned(sink* s, conversion& c, va_list* args)
{
    if (length_is(c, "ll")) put_value(s, c, va_arg(*args, unsigned long long));
    else if (length_is(c, "l")) put_value(s, c, va_arg(*args, unsigned long));
    else if (length_is(c, "z") || length_is(c, "t")) put_value(s, c, va_arg(*args, size_t));
    else if (length_is(c, "j")) put_value(s, c, va_arg(*args, uintmax_t));
    else put_value(s, c, va_arg(*args, unsigned int));
}

// Reads a run of digits, saturating at max_field.
int read_number(const char** p)
{
    int value = 0;
    while (**p >= '0' && **p <= '9') {
        if (value < max_field) value = value * 10 + (**p - '0');
        ++*p;
    }
    return value < max_field ? value : max_field;
}

// Parses the conversion after a '%'; false when the format ends inside it.
bool parse_conversion(const char** p, conversion* c, va_list* args)
{
    std::memset(c, 0, sizeof(*c));
    c->width = -1;
    c->precision = -1;
    uint64_t flags = 0;
    while (**p && std::strchr("-+ #0", **p)) {
        if (flags < 5) c->flags[flags++] = **p;
        ++*p;
    }
    if (**p == '*') {
        ++*p;
        int w = va_arg(*args, int);
        if (w < 0) {
            if (flags < 5) c->flags[flags++] = '-';
            w = w < -max_field ? max_field : -w;
        }
        c->width = w < max_field ? w : max_field;
    } else if (**p >= '0' && **p <= '9') {
        c->width = read_number(p);
    }
    if (**p == '.') {
        ++*p;
        if (**p == '*') {
            ++*p;
            int v = va_arg(*args, int);
            c->precision = v < 0 ? -1 : (v < max_field ? v : max_field);
        } else {
            c->precision = read_number(p);
        }
    }
    if ((**p == 'h' || **p == 'l') && (*p)[1] == **p) {
        c->length[0] = c->length[1] = **p;
        *p += 2;
    } else if (**p && std::strchr("hlzjtL", **p)) {
        c->length[0] = *(*p)++;
    } else if (**p == 'I') {
        c->length[0] = 'z';
        ++*p;
    }
    if (!**p) return false;
    c->type = *(*p)++;
    return true;
}

bool has_flag(const conversion& c, char flag) { return std::strchr(c.flags, flag) != nullptr; }

void put_character(sink* s, conversion& c, va_list* args)
{
    if (length_is(c, "l")) {
        char16_t text[2] = {(char16_t)va_arg(*args, unsigned int), 0};
        put_wide(s, text, has_flag(c, '-'), c.width, -1);
        return;
    }
    c.length[0] = 0;
    put_value(s, c, va_arg(*args, int));
}

void put_text(sink* s, conversion& c, va_list* args)
{
    if (length_is(c, "l")) {
        // Width and precision of UTF-16 text count characters, not bytes.
        put_wide(s, va_arg(*args, const char16_t*), has_flag(c, '-'), c.width, c.precision);
        return;
    }
    const char* text = va_arg(*args, const char*);
    c.length[0] = c.length[1] = 0;
    put_value(s, c, text ? text : "(null)");
}

void put_conversion(sink* s, conversion& c, va_list* args)
{
    switch (c.type) {
    case 'd':
    case 'i': put_signed(s, c, args); return;
    case 'u':
    case 'x':
    case 'X':
    case 'o': put_unsigned(s, c, args); return;
    case 'c': put_character(s, c, args); return;
    case 's': put_text(s, c, args); return;
    case 'p':
        c.length[0] = 0;
        put_value(s, c, va_arg(*args, void*));
        return;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (length_is(c, "L")) {
            put_value(s, c, va_arg(*args, long double));
        } else {
            c.length[0] = 0;
            put_value(s, c, va_arg(*args, double));
        }
        return;
    case 'n':
        // Writing through a pointer taken from a format is never done.
        va_arg(*args, void*);
        return;
    default: return;
    }
}

bool is_known_type(char type) { return type && std::strchr("diuxXocspfFeEgGaAn", type); }

// Writes a finished message to the stream; its length or -1.
int write_message(int stream, const char* text, int length)
{
    if (length <= 0) return 0;
    return console_write(stream, text, (uint64_t)length) < 0 ? -1 : length;
}

uint32_t print_error_to(int stream, uint32_t code, const char* context)
{
    char text[error_text_capacity];
    console_error_text(code, text, sizeof(text));
    char line[error_text_capacity + 32];
    int line_length = console_format(line, sizeof(line), "   ^ERROR: %u, %s\n", code, text);
    char message[console_message_capacity];
    int n = line_length;
    if (context) {
        // A long context gives way, never the error line under it.
        uint64_t room = sizeof(message) - 2 - (uint64_t)line_length;
        uint64_t context_length = std::strlen(context);
        if (context_length > room) context_length = whole_characters(context, room);
        n = console_format(message, sizeof(message), "%.*s\n%s", (int)context_length, context, line);
    } else {
        std::memcpy(message, line, (uint64_t)line_length + 1);
    }
    write_message(stream, message, n);
    return code;
}

int clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

// The ANSI colour number of the three attribute colour bits (blue, green, red).
unsigned ansi_colour(unsigned bits) { return ((bits & 1) << 2) | (bits & 2) | ((bits & 4) >> 2); }

void show_attribute(uint16_t attribute)
{
    g_shadow_console.current_attribute = attribute;
    if (!g_shadow_console.colour_output) return;
    char sequence[16];
    int n = console_colour_sequence(attribute, g_shadow_console.saved_attribute, sequence);
    console_write(console_stdout, sequence, (uint64_t)n);
}

// Notes where standard output goes now; colours and titles only make sense
// on a terminal.
void refresh()
{
    g_shadow_console.colour_output = !g_shadow_console.log_file_active && console_is_terminal(console_stdout);
}

void banner(uint16_t code, const char* lead)
{
    set_console_colour(code);
    console_printf("%s%s", lead, default_identifier);
    restore_console_colour();
    console_printf("\n");
}

} // namespace

int console_vformat(char* out, uint64_t capacity, const char* format, va_list args)
{
    if (!out || capacity == 0) return 0;
    out[0] = 0;
    if (!format) return 0;
    sink s{out, capacity - 1, 0, false};
    va_list walk;
    va_copy(walk, args);
    const char* p = format;
    while (*p && !s.cut) {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            uint64_t n = next ? (uint64_t)(next - p) : std::strlen(p);
            put(&s, p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            put(&s, "%", 1);
            ++p;
            continue;
        }
        conversion c;
        bool complete = parse_conversion(&p, &c, &walk);
        // A conversion the writer does not know is shown as written, so a
        // wrong format is visible instead of consuming the wrong argument.
        if (!complete || !is_known_type(c.type)) {
            put(&s, start, (uint64_t)(p - start));
            continue;
        }
        put_conversion(&s, c, &walk);
    }
    va_end(walk);

    uint64_t length = s.length;
    if (s.cut) {
        length = whole_characters(out, length);
        uint64_t format_length = std::strlen(format);
        if (format_length > 0 && format[format_length - 1] == '\n' && capacity >= 2) {
            if (length > capacity - 2) length = whole_characters(out, capacity - 2);
            out[length++] = '\n';
        }
    }
    out[length] = 0;
    return (int)length;
}

int console_format(char* out, uint64_t capacity, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = console_vformat(out, capacity, format, args);
    va_end(args);
    return n;
}

// One message, formatted on the stack and written with one call.
static int print_to(int stream, const char* format, va_list args)
{
    char message[console_message_capacity];
    int n = console_vformat(message, sizeof(message), format, args);
    return write_message(stream, message, n);
}

int console_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = print_to(console_stdout, format, args);
    va_end(args);
    return n;
}

int console_eprintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = print_to(console_stderr, format, args);
    va_end(args);
    return n;
}

uint32_t print_error(uint32_t code, const char* context) { return print_error_to(console_stdout, code, context); }

uint32_t print_error_stderr(uint32_t code, const char* context)
{
    return print_error_to(console_stderr, code, context);
}

int format_timestamp(char* out)
{
    civil_time t;
    clock_local_time(&t);
    // Every field is held to its range, so the text is always 21 characters.
    std::snprintf(out, timestamp_capacity, "%04d-%02d-%02d / %02d:%02d:%02d", clamp(t.year, 0, 9999),
                  clamp(t.month + 1, 1, 12), clamp(t.day, 1, 31), clamp(t.hour, 0, 23), clamp(t.minute, 0, 59),
                  clamp(t.second, 0, 60));
    return 21;
}

uint16_t console_attribute(uint16_t saved, uint16_t code)
{
    uint32_t c = saved;
    uint32_t b = code;
    uint32_t r;
    if ((c & 0x70) == 0) {
        if (b & 8) r = c | ((b & 7) << 4) | 0x0F;
        else if (b == 2) r = 0x0A;
        else r = (c & 0xFFF8) | ((b | 4) << 1) | b;
    } else if ((b & 7) == 7) {
        r = (b & 8) ? c | (b << 4) : c | (b << 4) | (b & 7) | 8;
    } else if ((b & 6) != 0 && (b & 8)) {
        r = c | (b << 4) | (b & 7);
    } else if ((c | b) == c) {
        r = (c & 0xFFF8) | 8 | b;
    } else if ((((c | b) << 4) ^ c) & 0xA0) {
        r = c | b;
    } else {
        r = (c & 0xFFF0) | b;
    }
    return (uint16_t)r;
}

int console_colour_sequence(uint16_t attribute, uint16_t saved, char* out)
{
    if (attribute == saved) return std::snprintf(out, 16, "\x1b[0m");
    unsigned foreground = ((attribute & 8) ? 90 : 30) + ansi_colour(attribute & 7);
    // Without background bits the terminal keeps its own background.
    if ((attribute & 0xF0) == 0) return std::snprintf(out, 16, "\x1b[0;%um", foreground);
    unsigned background = ((attribute & 0x80) ? 100 : 40) + ansi_colour((attribute >> 4) & 7);
    return std::snprintf(out, 16, "\x1b[0;%u;%um", foreground, background);
}

void set_console_colour(uint16_t code)
{
    show_attribute(console_attribute(g_shadow_console.saved_attribute, code));
}

void restore_console_colour() { show_attribute(g_shadow_console.saved_attribute); }

void console_setup()
{
    shadow_console& c = g_shadow_console;
    event_create(&c.stop_event, true, false);
    c.saved_attribute = console_default_attribute;
    c.current_attribute = console_default_attribute;
    c.log_file_active = false;
    c.attached = false;
    c.control_event_seen.store(false);
    c.log_path[0] = 0;
    refresh();
    c.console_at_start = c.colour_output;
    if (c.console_at_start) console_printf("\x1b]0;%s\x07", default_identifier);
}

void console_teardown()
{
    shadow_console& c = g_shadow_console;
    signal_thread_stop();
    key_watcher_stop();
    if (c.attached && !c.control_event_seen.load() && !c.console_at_start) detach_console();
    // The event's memory stays valid after closing, so a late signal from
    // another thread finds it gone instead of freed.
    event_signal(&c.stop_event);
    event_close(&c.stop_event);
    c.log_file_active = false;
    c.attached = false;
    c.log_path[0] = 0;
}

int open_log_file(bool detach_first)
{
    shadow_console& c = g_shadow_console;
    if (detach_first) detach_console();
    char name[service_name_capacity * 3];
    utf16_to_utf8(name, sizeof(name), g_service.name);
    const char* root = std::getenv("QUILLNEST_SYSROOT");
    int n = std::snprintf(c.log_path, sizeof(c.log_path), "%s/var/log/%s.log", root ? root : "", name);
    int fd = -1;
    if (n > 0 && (uint64_t)n < sizeof(c.log_path) && name[0]) fd = console_open_append(c.log_path);
    if (fd < 0 || console_redirect(fd, console_stdout) != 0) {
        console_close(fd);
        c.log_path[0] = 0;
        alloc_console();
        return -1;
    }
    console_close(fd);
    c.log_file_active = true;
    c.attached = false;
    refresh();
    return 0;
}

int alloc_console()
{
    g_shadow_console.log_file_active = false;
    refresh();
    return 25;
}

int attach_console(uint32_t pid)
{
    shadow_console& c = g_shadow_console;
    detach_console();
    int out = console_open_process_terminal(pid, console_stdout);
    int err = console_open_process_terminal(pid, console_stderr);
    if (out < 0 && err < 0) return -1;
    // A process with only one of the two on a terminal gets both there.
    int rc = console_redirect(out >= 0 ? out : err, console_stdout);
    rc |= console_redirect(err >= 0 ? err : out, console_stderr);
    console_close(out);
    console_close(err);
    if (rc != 0) return -1;
    c.attached = true;
    c.log_file_active = false;
    refresh();
    console_printf("\n\n");
    banner(0x8A, "++ ");
    return 0;
}

void detach_console()
{
    shadow_console& c = g_shadow_console;
    if (c.attached) {
        c.attached = false;
        banner(0x0C, "-- ");
    }
    key_watcher_stop();
    for (int stream = console_stdin; stream <= console_stderr; ++stream) {
        int fd = console_open_null(stream);
        if (fd < 0) continue;
        console_redirect(fd, stream);
        console_close(fd);
    }
    c.console_at_start = false;
    c.log_file_active = false;
    refresh();
}
