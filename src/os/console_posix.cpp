#include "os/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How long a write waits for a stream that is not ready (a non-blocking
// descriptor inherited from the parent) before the message is given up.
constexpr int write_stall_ms = 1000;

// The terminal mode found before console_terminal_raw changed it.
struct terminal_state {
    termios saved;                 // mode to restore
    std::atomic<bool> raw;         // the mode is changed and must be restored
    std::atomic<bool> exit_hooked; // the exit-time restore is registered
};

terminal_state g_terminal;

// strerror_r comes in two shapes; both are handled so the build does not
// depend on which one the C library declares.
[[maybe_unused]] const char* error_text_of(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* error_text_of(const char* text, const char*) { return text; }

// The signals the server takes over, plus the wake-up signal of the signal thread.
void server_signals(sigset_t* set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGUSR2);
    sigaddset(set, SIGPIPE);
    sigaddset(set, SIGRTMIN);
}

void restore_at_exit() { console_terminal_restore(); }

} // namespace

int64_t console_write(int stream, const char* data, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = write(stream, data + done, size - done);
        if (n > 0) {
            done += (uint64_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{stream, POLLOUT, 0};
            if (poll(&p, 1, write_stall_ms) > 0) continue;
        }
        return -1;
    }
    return (int64_t)size;
}

bool console_is_terminal(int stream) { return isatty(stream) == 1; }

void console_error_text(uint32_t code, char* out, uint64_t capacity)
{
    if (!out || capacity == 0) return;
    out[0] = 0;
    const char* text = error_text_of(strerror_r((int)code, out, capacity), out);
    if (!text) {
        std::snprintf(out, capacity, "Unknown error %u", code);
        return;
    }
    if (text != out) std::snprintf(out, capacity, "%s", text);
}

int console_last_error() { return errno; }

void set_process_locale() { std::setlocale(LC_ALL, "bg_BG.UTF-8"); }

int console_open_append(const char* path)
{
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

int console_open_process_terminal(uint32_t pid, int stream)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%u/fd/%d", pid, stream);
    int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (isatty(fd) != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

int console_open_null(int stream)
{
    return open("/dev/null", (stream == console_stdin ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
}

int console_redirect(int fd, int stream)
{
    int rc;
    do {
        rc = dup2(fd, stream);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? -1 : 0;
}

void console_close(int fd)
{
    if (fd >= 0) close(fd);
}

int console_block_signals()
{
    sigset_t set;
    server_signals(&set);
    // Blocked first, so that none of them can arrive with its default action
    // in between.
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) return rc;
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&set, sig) == 1) sigaction(sig, &action, nullptr);
    return 0;
}

int console_wait_signal()
{
    sigset_t set;
    server_signals(&set);
    // Blocked here as well, so that a wake-up aimed at this thread is never
    // delivered with its default action even if the caller forgot the mask.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&set, &info);
        if (sig < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        switch (sig) {
        case SIGINT: return console_signal_interrupt;
        case SIGQUIT: return console_signal_quit;
        case SIGTERM: return console_signal_terminate;
        case SIGHUP: return console_signal_hangup;
        case SIGUSR1: return console_signal_user1;
        case SIGUSR2: return console_signal_user2;
        default:
            if (sig == SIGRTMIN) return console_signal_wake;
            return console_signal_other;
        }
    }
}

void console_wake_signal_waiter(const thread_record* t)
{
    if (t && t->created) pthread_kill((pthread_t)t->handle, SIGRTMIN);
}

bool console_input_in_foreground()
{
    if (isatty(STDIN_FILENO) != 1) return false;
    pid_t group = tcgetpgrp(STDIN_FILENO);
    return group >= 0 && group == getpgrp();
}

int console_terminal_raw()
{
    if (g_terminal.raw.load()) return 0;
    termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return -1;
    g_terminal.saved = mode;
    if (!g_terminal.exit_hooked.exchange(true)) std::atexit(restore_at_exit);
    // Signals stay on, so Ctrl+C still interrupts through the signal thread.
    mode.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) return -1;
    g_terminal.raw.store(true);
    return 0;
}

void console_terminal_restore()
{
    if (!g_terminal.raw.exchange(false)) return;
    tcflush(STDIN_FILENO, TCIFLUSH);
    tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal.saved);
}

int64_t console_read_input(char* buffer, uint64_t size, uint32_t timeout_ms)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&p, 1, (int)timeout_ms);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if (!(p.revents & POLLIN)) return -1;
    ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n < 0) return (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    if (n == 0) return -1;
    return n;
}
