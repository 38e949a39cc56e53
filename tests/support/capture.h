// Test support: what a piece of code writes to standard output or error.
#pragma once
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

// Runs body with the stream (1 or 2) sent into a pipe and returns what it
// wrote. The pipe holds 64 KiB: enough for the messages the tests look at.
template <typename body_type>
std::string capture(int stream, body_type body)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int saved = dup(stream);
    dup2(fds[1], stream);
    close(fds[1]);
    body();
    dup2(saved, stream);
    close(saved);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) out.append(buffer, (size_t)n);
    close(fds[0]);
    return out;
}
