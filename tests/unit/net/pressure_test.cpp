// Pressure relief on slots set up by hand: each slot's connection is one end
// of a socket pair, and a real listening socket holds connections that
// nobody accepts, so that the watch sees them waiting.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/pressure.h"
#include "net/server.h"
#include "support/loopback.h"

namespace {

constexpr uint64_t second = 1000000000ULL;

class Pressure : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.reset(new G_SOCKET{});
        server->cw_connections = slot_count;
        for (uint32_t i = 0; i < slot_count; ++i) {
            connection_slot* slot = &server->slots[i];
            slot_setup(slot, i);
            int pair[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            fcntl(pair[1], F_SETFL, O_NONBLOCK);
            slot->tls.so.store(pair[0]);
            peers.push_back(pair[1]);
            slot->running.store(true);
            slot->connected.store(true);
            // Every slot busy answering, sending fast, unless a test says otherwise.
            slot->phase.store(phase_answer);
            slot->phase_since_ns.store(now - 10 * second);
        }
        listener = socket_tcp();
        port = free_loopback_port();
        ASSERT_EQ(socket_bind(listener, 0x7f000001, port), 0);
        ASSERT_EQ(socket_listen(listener, 64), 0);
        so_listen.store(listener);
    }

    void TearDown() override
    {
        so_listen.store(invalid_socket);
        for (int c : waiting) close(c);
        socket_close(listener);
        for (uint32_t i = 0; i < slot_count; ++i) {
            close_connection(&server->slots[i].tls);
            close(peers[i]);
        }
    }

    // n connections that the kernel completes and nobody accepts.
    void queue_clients(int n)
    {
        for (int i = 0; i < n; ++i) waiting.push_back(connect_loopback(port));
        for (int i = 0; i < 200 && socket_accept_backlog(listener) < n; ++i) usleep(1000);
        ASSERT_EQ(socket_accept_backlog(listener), n);
    }

    // Whether slot i's connection was shut down: its peer sees the end.
    bool shut(uint32_t i)
    {
        char c;
        return recv(peers[i], &c, 1, 0) == 0;
    }

    // Two looks a tick apart, as the listener takes them.
    uint32_t look_twice()
    {
        uint32_t closed = pressure_relieve(server.get(), &watch, now);
        now += pressure_tick_ms * 1000000ULL;
        closed += pressure_relieve(server.get(), &watch, now);
        return closed;
    }

    void make_idle(uint32_t i, uint64_t since)
    {
        server->slots[i].phase.store(phase_idle);
        server->slots[i].phase_since_ns.store(since);
    }

    std::unique_ptr<G_SOCKET> server;
    std::vector<int> peers;
    std::vector<int> waiting;
    socket_t listener = invalid_socket;
    uint16_t port = 0;
    uint64_t now = 1000 * second;
    pressure_watch watch{};
};

TEST_F(Pressure, AFreeSlotOrAnEmptyQueueIsNoPressure)
{
    make_idle(3, now - 100 * second);
    EXPECT_EQ(look_twice(), 0u) << "nobody waits";
    queue_clients(1);
    server->slots[9].phase.store(phase_accepting);
    EXPECT_EQ(look_twice(), 0u) << "a slot is free to take the waiting connection";
    EXPECT_FALSE(shut(3));
}

TEST_F(Pressure, IdleKeptConnectionsGoFirstTheLongestIdleFirst)
{
    make_idle(10, now - 5 * second);
    make_idle(20, now - 50 * second);
    make_idle(30, now - 1 * second);
    // An idle connection whose last packet is still leaving is not idle yet.
    make_idle(40, now - 500 * second);
    server->slots[40].channel.packet_started_ns.store(now - second);
    queue_clients(2);
    EXPECT_EQ(pressure_relieve(server.get(), &watch, now), 0u) << "a moment's pressure passes by itself";
    now += pressure_tick_ms * 1000000ULL;
    EXPECT_EQ(pressure_relieve(server.get(), &watch, now), 2u);
    EXPECT_TRUE(shut(20));
    EXPECT_TRUE(shut(10));
    EXPECT_FALSE(shut(30));
    EXPECT_FALSE(shut(40));
    EXPECT_EQ(server->slots[20].phase.load(), (uint32_t)phase_evicted);
    EXPECT_EQ(server->slots[30].phase.load(), (uint32_t)phase_idle);
    EXPECT_EQ(watch.relieved, 2u);
}

TEST_F(Pressure, ThenRequestsCrawlingInForTwoSecondsThenStalledAnswers)
{
    struct slot_state {
        uint32_t slot;
        uint32_t phase;
        uint64_t since_s;     // seconds ago
        uint64_t bytes;       // request bytes received
        bool closed;
    };
    const slot_state states[] = {
        {1, phase_request, 3, 100, true},           // slow headers for 3 s
        {2, phase_request, 1, 10, false},           // only a second old
        {3, phase_request, 20, 4 * 1024 * 1024, false}, // a fast upload: 200 KiB/s
        {4, phase_request, 9, 50, true},            // the oldest crawler goes first
    };
    for (const slot_state& s : states) {
        server->slots[s.slot].phase.store(s.phase);
        server->slots[s.slot].phase_since_ns.store(now - s.since_s * second);
        server->slots[s.slot].request_bytes.store(s.bytes);
    }
    // An answer whose packet has been stuck for three seconds, and one whose
    // client reads at 64 KiB/s: both measured over a window of two seconds.
    server->slots[5].channel.packet_started_ns.store(now - 3 * second);
    server->slots[6].channel.packet_started_ns.store(now - 3 * second);
    pressure_relieve(server.get(), &watch, now - 2 * second);
    server->slots[6].tls.bytes_sent.store(2 * 65536);
    queue_clients(3);
    EXPECT_EQ(look_twice(), 3u);
    for (const slot_state& s : states) EXPECT_EQ(shut(s.slot), s.closed) << "slot " << s.slot;
    EXPECT_TRUE(shut(5)) << "the stalled answer";
    EXPECT_FALSE(shut(6)) << "a reader at 64 KiB/s is never cut off";
}

TEST_F(Pressure, NoMoreAreClosedThanWait)
{
    for (uint32_t i = 0; i < 10; ++i) make_idle(i, now - (i + 1) * second);
    queue_clients(4);
    EXPECT_EQ(look_twice(), 4u);
    uint32_t closed = 0;
    for (uint32_t i = 0; i < 10; ++i) closed += shut(i) ? 1 : 0;
    EXPECT_EQ(closed, 4u);
    for (uint32_t i = 6; i < 10; ++i)
        EXPECT_EQ(server->slots[i].phase.load(), (uint32_t)phase_evicted) << "the longest idle go first";
}

} // namespace
