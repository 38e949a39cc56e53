// Threads with a fixed stack reservation, created once and joined at teardown.
#pragma once
#include <cstdint>

// Every thread of the server reserves this much stack; only touched pages are
// ever committed. It holds a TLS handshake under the sanitizers.
constexpr uint64_t thread_stack_reservation = 256 * 1024;

struct thread_record {
    uint64_t stack_reservation;  // bytes of stack
    uint32_t creation_flags;     // always 0x10000: the size is a reservation
    void* security_attributes;   // always null
    uint64_t handle;             // the thread; valid while created is set
    uint32_t identifier;         // kernel thread id, for messages
    bool created;                // the thread was started and not yet released
};

typedef void (*thread_routine)(void* parameter);

// Starts routine(parameter) on a new thread; 0, or the error code.
int thread_create(thread_record* t, thread_routine routine, void* parameter);
// Waits for the thread to end: 0 when it ended (the record is then cleared),
// err_timed_out when it did not within timeout_ms (-1: no limit).
int thread_join(thread_record* t, int64_t timeout_ms);
// Lets other threads run before the caller goes on.
void thread_yield();
// The calling thread's kernel id.
uint32_t thread_current_id();
