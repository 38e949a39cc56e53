// The service object: the service name taken from the command line, the
// events that frame the listener, and the control handler that turns stop,
// pause, continue and parameter-change controls into those events.
#include <cstring>

#include "core/text.h"
#include "service/console.h"
#include "service/service.h"

service_object g_service;

namespace {

// The service manager's trigger-event control; only noted.
constexpr uint32_t control_trigger_event = 32;

constexpr char16_t default_service_name[] = u"mervand.quillnest";
constexpr uint64_t default_name_length = sizeof(default_service_name) / sizeof(char16_t) - 1;

// A name of more UTF-8 bytes than this cannot fit into 255 UTF-16 units.
constexpr uint64_t name_bytes_limit = (service_name_capacity - 1) * 4;

void set_default_name(char16_t* name)
{
    std::memcpy(name, default_service_name, sizeof(default_service_name));
}

void print_state_note(const char* note)
{
    char stamp[timestamp_capacity];
    format_timestamp(stamp);
    console_printf("[%s] %s\n", stamp, note);
}

} // namespace

bool take_service_name(const char* argument, char16_t* name)
{
    set_default_name(name);
    if (!argument || std::strncmp(argument, "-d:", 3) != 0) return false;
    const char* p = argument + 3;
    if (*p == 0 || *p == ':') return false;

    char16_t result[service_name_capacity];
    uint64_t length = 0;
    if (*p == '+') {
        std::memcpy(result, default_service_name, sizeof(default_service_name));
        length = default_name_length;
        ++p;
    }
    uint64_t bytes = 0;
    while (p[bytes] && p[bytes] != ':') ++bytes;
    if (bytes > name_bytes_limit) return false;

    char part[name_bytes_limit + 1];
    std::memcpy(part, p, bytes);
    part[bytes] = 0;
    char16_t units[name_bytes_limit + 1];
    uint64_t count = utf8_to_utf16(units, name_bytes_limit + 1, part);
    if (length + count > service_name_capacity - 1) return false;
    for (uint64_t i = 0; i < count; ++i) {
        char16_t u = units[i];
        result[length++] = (u == u'/' || u == u'\\') ? u'_' : u;
    }
    result[length] = 0;
    // Text that decodes to nothing (stray bytes only) cannot name a service.
    if (result[0] == 0) return false;
    std::memcpy(name, result, (length + 1) * sizeof(char16_t));
    return true;
}

void service_setup(int argc, char** argv)
{
    service_object& s = g_service;
    set_default_name(s.name);
    s.name_given = argc > 1 && argv && take_service_name(argv[1], s.name);
    s.service_mode = false;
    s.stop_requested.store(false);
    s.paused.store(false);
    event_create(&s.listening, true, false);
    event_create(&s.stop_request, true, false);
    event_create(&s.service_stop, true, false);
    event_create(&s.reload_request, false, false);
    event_create(&s.go, true, false);
    // No service of this name runs this process: nothing will report the
    // service running, so the listener must not wait for it.
    event_signal(&s.go);
}

void service_control_handler(uint32_t control)
{
    service_object& s = g_service;
    switch (control) {
    case control_stop:
    case control_shutdown: s.stop_requested.store(true); break;
    case control_pause:
        print_state_note("{paused}");
        s.paused.store(true);
        break;
    case control_continue:
        print_state_note("{resumed}");
        s.paused.store(false);
        break;
    case control_parameter_change: event_signal(&s.reload_request); break;
    case control_trigger_event: print_state_note("{TRIGGEREVENT}"); break;
    default: break;
    }
    if (s.stop_requested.load()) {
        event_signal(&s.stop_request);
        if (!s.service_mode) event_signal(&s.service_stop);
    }
}

void service_teardown()
{
    service_object& s = g_service;
    event_t* events[] = {&s.listening, &s.go, &s.service_stop, &s.stop_request, &s.reload_request};
    for (event_t* e : events) {
        event_signal(e);
        event_close(e);
    }
}
