// The program's one text channel: printf-style messages on standard output
// (the terminal, another process's terminal or the log file) and standard
// error, the system error lines under a failure, timestamps, banner colours,
// and the console object that carries the console stop event and the watchers
// that stop a foreground run (signals, Esc and Q).
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "os/event.h"
#include "os/thread.h"

// A message is formatted into a stack buffer of this many bytes and written
// with one write call. Hard limit: a longer message is cut at a character
// boundary, keeping the line break that ends its format.
constexpr uint64_t console_message_capacity = 4096;
// "YYYY-MM-DD / hh:mm:ss" and its NUL.
constexpr uint64_t timestamp_capacity = 22;
// Bytes for the log file path, NUL included.
constexpr uint64_t log_path_capacity = 1024;
// The colours of a plain terminal in the attribute notation of set_console_colour.
constexpr uint16_t console_default_attribute = 0x07;

struct shadow_console {
    event_t stop_event;                   // manual reset: the operator stopped a foreground run
    uint16_t saved_attribute;             // colours restored after a banner
    uint16_t current_attribute;           // colours shown now
    bool colour_output;                   // standard output is a terminal: colours and title are shown
    bool console_at_start;                // standard output was a terminal at start-up
    bool log_file_active;                 // standard output goes to the log file
    bool attached;                        // output goes to another process's terminal
    std::atomic<bool> control_event_seen; // a stop signal arrived
    char log_path[log_path_capacity];     // UTF-8 path of the log file, empty until opened
    thread_record signal_thread;          // turns signals into controls
    std::atomic<bool> signal_thread_run;  // cleared to end the signal thread
    thread_record key_watcher;            // reads Esc and Q from the terminal
    std::atomic<bool> key_watcher_run;    // cleared to end the key watcher
};

extern shadow_console g_shadow_console;
// The console stop event of g_shadow_console, which the listener waits on in a
// foreground run.
extern event_t& g_console_stop;

// printf-style output on standard output / standard error, one write per call.
// Conversions: %s and %hs narrow text, %ls UTF-16 text (char16_t*), %c, %lc,
// %d %i %u %x %X %o with hh, h, l, ll, z, j, t and I (pointer-sized), %p,
// floating point, %%; flags, width and precision as printf, except that %ls
// counts its width in characters and its precision in UTF-16 units (never
// reading further). Returns the bytes written, -1 when the stream refused
// them. Any thread.
int console_printf(const char* format, ...);
int console_eprintf(const char* format, ...);
// Formats like console_printf into out (capacity bytes, NUL included) and
// returns the length. What does not fit is cut at a character boundary; when
// the format ends with a line break, the cut text ends with one too.
int console_format(char* out, uint64_t capacity, const char* format, ...);
int console_vformat(char* out, uint64_t capacity, const char* format, va_list args);

// Prints context and a line break when context is not null (an empty context
// prints an empty line), then "   ^ERROR: code, text" with the system's text
// for the error number; both lines in one write. Returns code.
uint32_t print_error(uint32_t code, const char* context);
// The same on standard error.
uint32_t print_error_stderr(uint32_t code, const char* context);
// Writes the local time as "YYYY-MM-DD / hh:mm:ss" (21 characters and a NUL)
// into out, which holds timestamp_capacity bytes; returns 21.
int format_timestamp(char* out);

// The attribute word a banner colour code gives on a console whose saved
// attributes are saved: low 3 bits foreground (blue, green, red), bit 3
// bright foreground, bits 4-6 background, bit 7 bright background.
uint16_t console_attribute(uint16_t saved, uint16_t code);
// The terminal control sequence that shows attribute on a terminal whose own
// colours are written as saved; its length (out holds at least 16 bytes).
int console_colour_sequence(uint16_t attribute, uint16_t saved, char* out);
// Shows the banner colour code on standard output when it is a terminal.
void set_console_colour(uint16_t code);
// Brings back the colours of before set_console_colour.
void restore_console_colour();

// Sets up g_shadow_console: creates the console stop event (non-signalled),
// notes whether standard output is a terminal and titles it. Call once on the
// first thread, after service_setup.
void console_setup();
// Takes the console down at exit: ends the signal thread and the key watcher,
// restores the terminal, leaves an attached terminal, signals and closes the
// console stop event. Call before service_teardown.
void console_teardown();

// Moves standard output to the log file (the system's log directory, the
// service name, ".log"; QUILLNEST_SYSROOT is put in front), appending; leaves
// the current terminal first when detach_first. 0, or -1 when the file cannot
// be opened (alloc_console is then tried, as the caller's fallback chain says).
int open_log_file(bool detach_first);
// A background process cannot create a terminal of its own: clears the log
// file state and returns the error number 25 (not a terminal), so the caller
// falls back to the log file.
int alloc_console();
// Sends standard output and standard error to the terminal of process pid,
// with the "++ " banner; 0, or -1 when that process has no terminal we may
// write to (output then goes nowhere until the caller chooses another place).
int attach_console(uint32_t pid);
// Leaves an attached terminal with the "-- " banner and points the standard
// streams at the null device.
void detach_console();

// What Ctrl+C, Esc and Q do: signal the console stop event and hand a stop
// control to the service control handler. Any thread.
void console_stop_request();
// Starts the thread that waits for the signals blocked by
// console_block_signals and turns them into controls; 0 or the error number.
int signal_thread_start();
// Ends the signal thread and waits for it; does nothing when it is not running.
void signal_thread_stop();
// Starts the Esc/Q watcher when standard input is the terminal of a foreground
// run; 0 when it runs or is not wanted, else the error number.
int key_watcher_start();
// Ends the watcher (within about 100 ms) and restores the terminal.
void key_watcher_stop();

// What a burst of key bytes read from the terminal means.
enum : int {
    keys_ignored = 0,       // other keys and escape sequences: discarded
    keys_stop = 1,          // q, Q or a lone Esc
    keys_escape_pending = 2, // ends in Esc: a lone Esc only if nothing follows at once
};
int key_bytes_verdict(const char* bytes, uint64_t count);
