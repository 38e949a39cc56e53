// The process's standard streams, its terminal and its signals: writing whole
// messages, telling terminals apart, the system's error texts, the locale,
// the signals the server reacts to, and the keyboard of a foreground run.
#pragma once
#include <cstdint>

#include "os/thread.h"

// The three standard streams.
enum : int {
    console_stdin = 0,
    console_stdout = 1,
    console_stderr = 2,
};

// Writes all size bytes to the stream, in one write call unless the system
// takes fewer bytes; size, or -1 when the stream refused them. Any thread.
int64_t console_write(int stream, const char* data, uint64_t size);
// True when the stream is a terminal.
bool console_is_terminal(int stream);
// The system's text for an error number into out (capacity bytes, at least 1),
// always NUL-terminated; a number without text gets the system's generic text.
void console_error_text(uint32_t code, char* out, uint64_t capacity);
// The calling thread's last error number.
int console_last_error();
// Sets the process locale for all categories to the server's; silently keeps
// the current one when that locale is not installed. Call before any thread.
void set_process_locale();

// Opens a log file for appending (created when missing); a descriptor or -1.
int console_open_append(const char* path);
// Opens the terminal behind the standard stream of another process for
// writing; a descriptor, or -1 when it cannot be opened or is not a terminal.
int console_open_process_terminal(uint32_t pid, int stream);
// Opens the null device for the stream's direction; a descriptor or -1.
int console_open_null(int stream);
// Makes the stream refer to what fd refers to; 0 or -1. fd stays open.
int console_redirect(int fd, int stream);
void console_close(int fd);

// The signals the server reacts to, as console_wait_signal reports them.
enum : int {
    console_signal_interrupt = 1, // Ctrl+C
    console_signal_quit = 2,      // Ctrl+backslash
    console_signal_terminate = 3, // the polite kill
    console_signal_hangup = 4,    // re-read the settings
    console_signal_user1 = 5,     // pause
    console_signal_user2 = 6,     // continue
    console_signal_other = 7,     // a broken pipe: nothing to do
    console_signal_wake = 8,      // console_wake_signal_waiter was called
};

// Blocks the server's signals in the calling thread and resets their actions
// to the defaults (a start under nohup ignores the hang-up signal). Call on the
// first thread before any other exists, so that every thread inherits the
// mask; 0, or the error number.
int console_block_signals();
// Waits for one of the blocked signals; its console_signal_* kind, or -1 when
// waiting is impossible. Only the signal thread calls it.
int console_wait_signal();
// Makes console_wait_signal return console_signal_wake on the given thread.
void console_wake_signal_waiter(const thread_record* t);

// True when the calling process is in the foreground of the terminal on
// standard input (reading or changing it from the background stops the process).
bool console_input_in_foreground();
// Puts the terminal on standard input into byte-at-a-time, no-echo mode. The
// previous mode comes back with console_terminal_restore, which also runs at
// process exit. 0 or -1.
int console_terminal_raw();
// Restores the terminal mode saved by console_terminal_raw and drops typed
// input that was not read; does nothing when the mode was not changed.
void console_terminal_restore();
// Waits at most timeout_ms for input on standard input and reads what is
// there; the count, 0 when nothing arrived, -1 at the end of input or on error.
int64_t console_read_input(char* buffer, uint64_t size, uint32_t timeout_ms);
