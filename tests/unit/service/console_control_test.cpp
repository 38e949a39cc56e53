#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/console.h"
#include "service/console.h"
#include "service/service.h"

namespace {

TEST(KeyVerdict, WhatKeysMean)
{
    struct key_case {
        std::string bytes;
        int want;
    };
    const key_case cases[] = {
        {"q", keys_stop},
        {"Q", keys_stop},
        {"abcq", keys_stop},
        {"x", keys_ignored},
        {"\n", keys_ignored},
        {"\x1b", keys_escape_pending},
        {"ab\x1b", keys_escape_pending},
        {"\x1b[A", keys_ignored},          // arrow key
        {"\x1b[1;5A", keys_ignored},       // Ctrl+arrow
        {"\x1b[15~", keys_ignored},        // function key
        {"\x1bOP", keys_ignored},          // F1 on some terminals
        {"\x1bq", keys_ignored},           // Alt+q is not q
        {"\x1b[Aq", keys_stop},            // an arrow, then q
        {"\x1b[A\x1b", keys_escape_pending},
        {"\x1b[", keys_ignored},           // a sequence cut short by the read
        {std::string("\0q", 2), keys_stop},
    };
    for (const key_case& c : cases) {
        EXPECT_EQ(key_bytes_verdict(c.bytes.data(), c.bytes.size()), c.want) << c.bytes;
    }
}

// Waits up to timeout_ms for the child; its exit status, or -1 when it did not end.
int wait_child(pid_t pid, int timeout_ms)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        usleep(10000);
    }
    return -1;
}

// A child process in a session of its own on a pseudo-terminal runs the key
// watcher; the parent types into the terminal. The child exits 0 when the
// watcher stopped the run and the terminal mode came back.
void run_watcher_child(const char* slave_name, int ready_fd)
{
    setsid();
    int slave = open(slave_name, O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(10);
    dup2(slave, 0);
    termios before;
    tcgetattr(0, &before);
    char program[] = "quillnest";
    char* argv[] = {program, nullptr};
    service_setup(1, argv);
    console_setup();
    if (key_watcher_start() != 0 || !g_shadow_console.key_watcher.created) _exit(11);
    termios raw;
    tcgetattr(0, &raw);
    if (raw.c_lflag & (ICANON | ECHO)) _exit(12);
    if (write(ready_fd, "r", 1) != 1) _exit(13);
    int rc = event_wait(&g_console_stop, 10000);
    key_watcher_stop();
    termios after;
    tcgetattr(0, &after);
    if (rc != event_signalled) _exit(1);
    if ((after.c_lflag & (ICANON | ECHO)) != (before.c_lflag & (ICANON | ECHO))) _exit(2);
    if (!g_service.stop_requested.load()) _exit(3);
    _exit(0);
}

TEST(KeyWatcher, StopsOnQAndLoneEscOnly)
{
    struct typing_case {
        std::vector<std::string> ignored; // typed first: must not stop the run
        std::string stop;                 // typed last: must stop it
    };
    const typing_case cases[] = {
        {{"x", "\x1b[A", "\x1b" "OP", "hello\n"}, "q"},
        {{"\x1b[B"}, "Q"},
        {{"a"}, "\x1b"},
    };
    for (const typing_case& c : cases) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        std::string slave_name = ptsname(master);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(master);
            close(ready[0]);
            run_watcher_child(slave_name.c_str(), ready[1]);
        }
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the watcher did not start";
        close(ready[0]);

        for (const std::string& keys : c.ignored) {
            ASSERT_EQ(write(master, keys.data(), keys.size()), (ssize_t)keys.size());
            usleep(150000);
        }
        EXPECT_EQ(wait_child(pid, 200), -1) << "stopped by ignored keys";
        ASSERT_EQ(write(master, c.stop.data(), c.stop.size()), (ssize_t)c.stop.size());
        int status = wait_child(pid, 5000);
        if (status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_EQ(status, 0) << "stop keys: " << c.stop;
        close(master);
    }
}

TEST(KeyWatcher, NotStartedWithoutATerminal)
{
    int saved = dup(0);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    close(null_fd);
    EXPECT_EQ(key_watcher_start(), 0);
    EXPECT_FALSE(g_shadow_console.key_watcher.created);
    key_watcher_stop();
    dup2(saved, 0);
    close(saved);
}

bool wait_for(bool (*condition)(), int timeout_ms)
{
    for (int waited = 0; waited <= timeout_ms; waited += 5) {
        if (condition()) return true;
        usleep(5000);
    }
    return false;
}

bool signalled(event_t* e) { return event_wait(e, 0) == event_signalled; }

TEST(SignalThread, SignalsBecomeControls)
{
    // Started under nohup: the hang-up signal is ignored until taken over.
    signal(SIGHUP, SIG_IGN);
    ASSERT_EQ(console_block_signals(), 0);
    char program[] = "quillnest";
    char* argv[] = {program, nullptr};
    service_setup(1, argv);
    console_setup();
    ASSERT_EQ(signal_thread_start(), 0);

    kill(getpid(), SIGHUP);
    EXPECT_EQ(event_wait(&g_service.reload_request, 5000), event_signalled);

    kill(getpid(), SIGUSR1);
    EXPECT_TRUE(wait_for([] { return g_service.paused.load(); }, 5000));
    kill(getpid(), SIGUSR2);
    EXPECT_TRUE(wait_for([] { return !g_service.paused.load(); }, 5000));

    kill(getpid(), SIGPIPE);
    usleep(50000);
    EXPECT_FALSE(signalled(&g_console_stop));
    EXPECT_FALSE(signalled(&g_service.stop_request));

    // Every stop signal of a foreground run: the console stop event and a stop control.
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        kill(getpid(), sig);
        EXPECT_EQ(event_wait(&g_console_stop, 5000), event_signalled) << sig;
        EXPECT_EQ(event_wait(&g_service.stop_request, 5000), event_signalled) << sig;
        EXPECT_EQ(event_wait(&g_service.service_stop, 5000), event_signalled) << sig;
        EXPECT_TRUE(g_shadow_console.control_event_seen.load());
        event_reset(&g_console_stop);
        event_reset(&g_service.stop_request);
        event_reset(&g_service.service_stop);
        g_service.stop_requested.store(false);
    }

    signal_thread_stop();
    EXPECT_FALSE(g_shadow_console.signal_thread.created);
    console_teardown();
    EXPECT_EQ(event_wait(&g_console_stop, 0), event_failed);
    service_teardown();
}

} // namespace
