#include "os/event.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

namespace {

struct event_impl {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool manual;
    bool signalled;
    bool closed;
};
static_assert(sizeof(event_impl) <= sizeof(event_t::impl), "event_t::impl is too small");

event_impl* impl_of(event_t* e) { return reinterpret_cast<event_impl*>(e->impl); }

} // namespace

int event_create(event_t* e, bool manual_reset, bool signalled)
{
    event_impl* ev = new (e->impl) event_impl;
    ev->manual = manual_reset;
    ev->signalled = signalled;
    ev->closed = false;
    pthread_condattr_t attr;
    if (pthread_mutex_init(&ev->mutex, nullptr) != 0) return -1;
    // Time-outs are measured on the monotonic clock, so a change of the wall
    // clock never stretches or cuts a wait.
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&ev->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) {
        pthread_mutex_destroy(&ev->mutex);
        return -1;
    }
    e->created.store(true);
    return 0;
}

void event_signal(event_t* e)
{
    if (!e->created.load()) return;
    event_impl* ev = impl_of(e);
    pthread_mutex_lock(&ev->mutex);
    if (!ev->closed) {
        ev->signalled = true;
        if (ev->manual) pthread_cond_broadcast(&ev->cond);
        else pthread_cond_signal(&ev->cond);
    }
    pthread_mutex_unlock(&ev->mutex);
}

void event_reset(event_t* e)
{
    if (!e->created.load()) return;
    event_impl* ev = impl_of(e);
    pthread_mutex_lock(&ev->mutex);
    ev->signalled = false;
    pthread_mutex_unlock(&ev->mutex);
}

int event_wait(event_t* e, int64_t timeout_ms)
{
    if (!e->created.load()) return event_failed;
    event_impl* ev = impl_of(e);
    timespec deadline{};
    if (timeout_ms > 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    int result = event_signalled;
    pthread_mutex_lock(&ev->mutex);
    while (!ev->closed && !ev->signalled) {
        if (timeout_ms == 0) {
            result = event_timed_out;
            break;
        }
        int rc = timeout_ms < 0 ? pthread_cond_wait(&ev->cond, &ev->mutex)
                                : pthread_cond_timedwait(&ev->cond, &ev->mutex, &deadline);
        if (rc == ETIMEDOUT && !ev->signalled && !ev->closed) {
            result = event_timed_out;
            break;
        }
    }
    if (ev->closed) result = event_failed;
    else if (result == event_signalled && !ev->manual) ev->signalled = false;
    pthread_mutex_unlock(&ev->mutex);
    return result;
}

void event_close(event_t* e)
{
    if (!e->created.exchange(false)) return;
    event_impl* ev = impl_of(e);
    pthread_mutex_lock(&ev->mutex);
    ev->closed = true;
    pthread_cond_broadcast(&ev->cond);
    pthread_mutex_unlock(&ev->mutex);
}
