#include "os/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct start_block {
    thread_routine routine;
    void* parameter;
};

void* trampoline(void* p)
{
    start_block block = *static_cast<start_block*>(p);
    delete static_cast<start_block*>(p);
    block.routine(block.parameter);
    return nullptr;
}

} // namespace

int thread_create(thread_record* t, thread_routine routine, void* parameter)
{
    if (t->stack_reservation == 0) t->stack_reservation = thread_stack_reservation;
    t->creation_flags = 0x10000;
    t->security_attributes = nullptr;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, t->stack_reservation);
    start_block* block = new start_block{routine, parameter};
    pthread_t id;
    int rc = pthread_create(&id, &attr, trampoline, block);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete block;
        return rc;
    }
    t->handle = (uint64_t)id;
    t->identifier = 0;
    t->created = true;
    return 0;
}

int thread_join(thread_record* t, int64_t timeout_ms)
{
    if (!t->created) return 0;
    pthread_t id = (pthread_t)t->handle;
    int rc;
    if (timeout_ms < 0) {
        rc = pthread_join(id, nullptr);
    } else {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = pthread_timedjoin_np(id, nullptr, &deadline);
    }
    if (rc != 0) return ETIMEDOUT;
    std::memset(t, 0, sizeof(*t));
    return 0;
}

uint32_t thread_current_id() { return (uint32_t)syscall(SYS_gettid); }
void thread_yield() { sched_yield(); }
