#include "os/event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include "os/clock.h"

// An event is one word that threads sleep on with the kernel's futex: a wait
// that finds the event signalled costs no system call, and a signal costs one
// only when somebody sleeps. Every slot passes each packet through two events.
namespace {

constexpr uint32_t signalled_bit = 1;
constexpr uint32_t closed_bit = 2;

struct event_impl {
    std::atomic<uint32_t> state;   // signalled_bit | closed_bit
    std::atomic<uint32_t> waiters; // threads between registering and leaving a wait
    bool manual;                   // stays signalled until reset
};
static_assert(sizeof(event_impl) <= sizeof(event_t::impl), "event_t::impl is too small");

event_impl* impl_of(event_t* e) { return reinterpret_cast<event_impl*>(e->impl); }

void futex_wake(std::atomic<uint32_t>* word, int count)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Sleeps while the word still holds expected, at most `relative` when given.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

} // namespace

int event_create(event_t* e, bool manual_reset, bool signalled)
{
    event_impl* ev = new (e->impl) event_impl;
    ev->state.store(signalled ? signalled_bit : 0);
    ev->waiters.store(0);
    ev->manual = manual_reset;
    e->created.store(true);
    return 0;
}

void event_signal(event_t* e)
{
    if (!e->created.load()) return;
    event_impl* ev = impl_of(e);
    uint32_t before = ev->state.fetch_or(signalled_bit);
    if (before & closed_bit) return;
    // Pairs with the waiter's register-then-check: one of the two sees the other.
    if (ev->waiters.load() != 0) futex_wake(&ev->state, ev->manual ? INT_MAX : 1);
}

void event_reset(event_t* e)
{
    if (!e->created.load()) return;
    impl_of(e)->state.fetch_and(~signalled_bit);
}

int event_wait(event_t* e, int64_t timeout_ms)
{
    if (!e->created.load()) return event_failed;
    event_impl* ev = impl_of(e);
    uint64_t deadline = timeout_ms > 0 ? clock_monotonic_ns() + (uint64_t)timeout_ms * 1000000ULL : 0;
    for (;;) {
        uint32_t state = ev->state.load();
        if (state & closed_bit) return event_failed;
        if (state & signalled_bit) {
            if (ev->manual) return event_signalled;
            if (ev->state.compare_exchange_weak(state, state & ~signalled_bit)) return event_signalled;
            continue;
        }
        if (timeout_ms == 0) return event_timed_out;
        timespec relative{};
        if (timeout_ms > 0) {
            uint64_t now = clock_monotonic_ns();
            if (now >= deadline) return event_timed_out;
            uint64_t left = deadline - now;
            relative.tv_sec = (time_t)(left / 1000000000ULL);
            relative.tv_nsec = (long)(left % 1000000000ULL);
        }
        ev->waiters.fetch_add(1);
        futex_wait(&ev->state, 0, timeout_ms > 0 ? &relative : nullptr);
        ev->waiters.fetch_sub(1);
    }
}

void event_close(event_t* e)
{
    if (!e->created.exchange(false)) return;
    event_impl* ev = impl_of(e);
    ev->state.fetch_or(closed_bit);
    futex_wake(&ev->state, INT_MAX);
}
