// What stops, pauses, continues and reloads a foreground run: the signal
// thread turns the process's signals into service controls, and the key
// watcher stops the run when the operator presses Esc or Q on its terminal.
#include "os/console.h"
#include "service/console.h"
#include "service/service.h"

namespace {

// How often the key watcher looks whether it should end; bounds how long
// shutdown waits for it.
constexpr uint32_t key_poll_ms = 100;
// Bytes that follow an Esc within this time belong to an escape sequence
// (terminals send a whole sequence at once).
constexpr uint32_t escape_wait_ms = 50;

constexpr char key_escape = 0x1B;

void signal_loop(void*)
{
    shadow_console& c = g_shadow_console;
    for (;;) {
        int kind = console_wait_signal();
        if (kind < 0 || !c.signal_thread_run.load()) return;
        switch (kind) {
        case console_signal_terminate:
            // A service is stopped like the service manager stops it; a
            // foreground run like Ctrl+C.
            if (g_service.service_mode) {
                service_control_handler(control_stop);
                break;
            }
            [[fallthrough]];
        case console_signal_interrupt:
        case console_signal_quit:
            c.control_event_seen.store(true);
            console_stop_request();
            break;
        case console_signal_hangup: service_control_handler(control_parameter_change); break;
        case console_signal_user1: service_control_handler(control_pause); break;
        case console_signal_user2: service_control_handler(control_continue); break;
        default: break;
        }
    }
}

bool console_stopped() { return event_wait(&g_shadow_console.stop_event, 0) == event_signalled; }

void key_loop(void*)
{
    shadow_console& c = g_shadow_console;
    char keys[64];
    uint64_t carried = 0; // 1 when keys[0] is an Esc still waiting for company
    while (c.key_watcher_run.load() && !console_stopped()) {
        int64_t n = console_read_input(keys + carried, sizeof(keys) - carried, carried ? escape_wait_ms : key_poll_ms);
        if (n < 0) break;
        if (n == 0) {
            if (!carried) continue;
            console_stop_request();
            break;
        }
        int verdict = key_bytes_verdict(keys, carried + (uint64_t)n);
        carried = 0;
        if (verdict == keys_stop) {
            console_stop_request();
            break;
        }
        if (verdict == keys_escape_pending) {
            keys[0] = key_escape;
            carried = 1;
        }
    }
    console_terminal_restore();
}

} // namespace

int key_bytes_verdict(const char* bytes, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        char b = bytes[i];
        if (b == 'q' || b == 'Q') return keys_stop;
        if (b != key_escape) continue;
        if (i + 1 == count) return keys_escape_pending;
        // Skip the sequence the Esc starts: a control sequence "Esc [" runs to
        // its final byte, "Esc O" takes one more byte, any other Esc pair is
        // an Alt combination of two bytes.
        char next = bytes[i + 1];
        if (next == '[') {
            i += 2;
            while (i < count && !(bytes[i] >= 0x40 && bytes[i] <= 0x7E)) ++i;
        } else if (next == 'O') {
            i += 2;
        } else {
            i += 1;
        }
    }
    return keys_ignored;
}

void console_stop_request()
{
    event_signal(&g_shadow_console.stop_event);
    service_control_handler(control_stop);
}

int signal_thread_start()
{
    shadow_console& c = g_shadow_console;
    if (c.signal_thread.created) return 0;
    c.signal_thread_run.store(true);
    int rc = thread_create(&c.signal_thread, signal_loop, nullptr);
    if (rc != 0) c.signal_thread_run.store(false);
    return rc;
}

void signal_thread_stop()
{
    shadow_console& c = g_shadow_console;
    if (!c.signal_thread.created) return;
    c.signal_thread_run.store(false);
    console_wake_signal_waiter(&c.signal_thread);
    thread_join(&c.signal_thread, event_infinite);
}

int key_watcher_start()
{
    shadow_console& c = g_shadow_console;
    if (c.key_watcher.created || !console_input_in_foreground()) return 0;
    if (console_terminal_raw() != 0) return console_last_error();
    c.key_watcher_run.store(true);
    int rc = thread_create(&c.key_watcher, key_loop, nullptr);
    if (rc != 0) {
        c.key_watcher_run.store(false);
        console_terminal_restore();
    }
    return rc;
}

void key_watcher_stop()
{
    shadow_console& c = g_shadow_console;
    c.key_watcher_run.store(false);
    if (c.key_watcher.created) thread_join(&c.key_watcher, event_infinite);
    console_terminal_restore();
}
