// The connection engine with a dispatcher of the test's own: a request is a
// line ending in "\n" ("post N" announces an N-byte body), so that keep-alive,
// pipelining, split requests, cut bodies and large answers can be driven
// without the HTTP code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/lifecycle.h"
#include "net/receive_loop.h"
#include "net/send_path.h"
#include "net/server.h"
#include "service/console.h"
#include "service/service.h"
#include "support/loopback.h"

namespace {

constexpr uint64_t big_size = 1 << 20;

// keep_alive of the last "huge" request once its answer stopped; -1 before.
std::atomic<int> huge_keep_alive{-1};

char pattern_byte(uint64_t i) { return (char)('a' + (i * 7 + i / 251) % 26); }

// Sends `size` bytes of the pattern through the send path, half by half;
// false when a send failed.
bool send_pattern(connection_slot* slot, uint64_t size)
{
    send_channel* channel = &slot->channel;
    uint64_t done = 0;
    while (done < size) {
        uint64_t n = std::min<uint64_t>(size - done, channel->slot_buffer_size);
        char* out = channel->slot_buffer;
        for (uint64_t i = 0; i < n; ++i) out[i] = pattern_byte(done + i);
        if (!channel_send(channel, out, n)) return false;
        done += n;
    }
    return true;
}

bool reply(connection_slot* slot, const std::string& text)
{
    char* out = slot->channel.slot_buffer;
    std::memcpy(out, text.data(), text.size());
    return channel_send(&slot->channel, out, text.size());
}

} // namespace

void dispatch_request(connection_slot* slot, char* data, uint64_t length, bool, dispatch_verdict* verdict)
{
    *verdict = dispatch_verdict{};
    char* nl = static_cast<char*>(std::memchr(data, '\n', length));
    if (!nl) {
        verdict->receive_at = data + length;
        return;
    }
    std::string line(data, nl);
    char* next = nl + 1;
    if (line.rfind("post ", 0) == 0) {
        uint64_t body = std::stoull(line.substr(5));
        connection_allow_body(slot, body);
        if ((uint64_t)(data + length - next) < body) {
            verdict->receive_at = data + length;
            return;
        }
        line = "body:" + std::string(next, (size_t)body);
        next += body;
    }
    bool sent;
    if (line == "big") {
        sent = send_pattern(slot, big_size);
    } else if (line == "huge") {
        sent = send_pattern(slot, 256ULL << 20);
        huge_keep_alive.store(sent ? 1 : 0);
    } else {
        sent = reply(slot, "got:" + line + "\n");
    }
    verdict->keep_open = sent && line != "close";
    if (next < data + length) verdict->next_request = next;
}

namespace {

class Engine : public ::testing::Test {
protected:
    static G_SOCKET* server;
    static std::thread* listener;
    static uint16_t port;

    static void SetUpTestSuite()
    {
        service_setup(0, nullptr);
        console_setup();
        server = new G_SOCKET{};
        server->cw_connections = slot_count;
        server->path_buffer_length = path_buffer_length;
        server->packet_length_rw[0] = receive_buffer_length;
        server->packet_length_rw[1] = send_buffer_length;
        server->region.unit_size = large_page_minimum(&server->region);
        for (uint32_t i = 0; i < slot_count; ++i) slot_setup(&server->slots[i], i);
        port = free_loopback_port();
        server->port = port;
        server->addr_local_port = port;
        server->configured.store(true);
        slots_reserve(server);
        slots_start(server);
        listener = new std::thread([] { run_server(server); });
        wait_listening();
    }

    static void TearDownTestSuite()
    {
        event_signal(&g_console_stop);
        listener->join();
        delete listener;
        shutdown_server(server);
        delete server;
        console_teardown();
        service_teardown();
    }

    static void wait_listening()
    {
        for (int i = 0; i < 500 && so_listen.load() == invalid_socket; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    static int connect_client()
    {
        int s = connect_loopback(port);
        EXPECT_GE(s, 0);
        return s;
    }

    static void send_text(int s, const std::string& text)
    {
        ASSERT_EQ(send(s, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size());
    }

    // Reads exactly n bytes (fewer when the peer closes or the time-out hits).
    static std::string read_n(int s, size_t n)
    {
        std::string out;
        char buf[65536];
        while (out.size() < n) {
            ssize_t k = recv(s, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (k <= 0) break;
            out.append(buf, (size_t)k);
        }
        return out;
    }

    static bool peer_closed(int s)
    {
        char c;
        return recv(s, &c, 1, 0) <= 0;
    }
};

G_SOCKET* Engine::server;
std::thread* Engine::listener;
uint16_t Engine::port;

TEST_F(Engine, PipelinedRequestsAreAnsweredInOrderOnOneConnection)
{
    int s = connect_client();
    send_text(s, "a\nbb\npost 5\nhelloccc\n");
    std::string expected = "got:a\ngot:bb\ngot:body:hello\ngot:ccc\n";
    EXPECT_EQ(read_n(s, expected.size()), expected);
    send_text(s, "again\n");
    EXPECT_EQ(read_n(s, 10), "got:again\n");
    close(s);
}

TEST_F(Engine, RequestSplitAcrossReceivesIsAnsweredOnce)
{
    int s = connect_client();
    send_text(s, "sp");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_text(s, "lit");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_text(s, "\npost 3\nab");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_text(s, "c");
    std::string expected = "got:split\ngot:body:abc\n";
    EXPECT_EQ(read_n(s, expected.size()), expected);
    close(s);
}

TEST_F(Engine, ConnectionWithoutKeepAliveClosesAfterTheAnswer)
{
    int s = connect_client();
    send_text(s, "close\nnever\n");
    EXPECT_EQ(read_n(s, 10), "got:close\n");
    EXPECT_TRUE(peer_closed(s));
    close(s);
}

TEST_F(Engine, LargeAnswerLeavesAsConsecutivePacketsInOrder)
{
    int s = connect_client();
    send_text(s, "big\nafter\n");
    std::string body = read_n(s, big_size);
    ASSERT_EQ(body.size(), big_size);
    for (uint64_t i = 0; i < big_size; ++i)
        if (body[i] != pattern_byte(i)) FAIL() << "byte " << i << " is out of order";
    EXPECT_EQ(read_n(s, 10), "got:after\n");
    close(s);
}

TEST_F(Engine, ClientClosingMidDownloadEndsTheConnectionQuietlyAndFreesTheSlot)
{
    // Standard output goes to a file meanwhile: a client that goes away is no failure to report.
    fflush(stdout);
    char path[] = "/tmp/qn-engine-XXXXXX";
    int log = mkstemp(path);
    int saved = dup(1);
    dup2(log, 1);
    for (int round = 0; round < 3; ++round) {
        huge_keep_alive.store(-1);
        int s = connect_client();
        send_text(s, "huge\n");
        EXPECT_EQ(read_n(s, 100000).size(), 100000u);
        close(s);
        for (int i = 0; i < 500 && huge_keep_alive.load() == -1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(huge_keep_alive.load(), 0);
    }
    dup2(saved, 1);
    close(saved);
    char text[4096] = {};
    ssize_t n = pread(log, text, sizeof(text) - 1, 0);
    close(log);
    unlink(path);
    EXPECT_GE(n, 0);
    EXPECT_EQ(std::strstr(text, "send_packet"), nullptr) << text;
    // Every slot still answers: more clients than slots, one after another.
    for (int i = 0; i < slot_count + 8; ++i) {
        int s = connect_client();
        send_text(s, "close\n");
        EXPECT_EQ(read_n(s, 10), "got:close\n");
        close(s);
    }
}

TEST_F(Engine, SixtyFourClientsAreServedAtOnce)
{
    std::vector<int> clients;
    for (int i = 0; i < slot_count; ++i) clients.push_back(connect_client());
    for (size_t i = 0; i < clients.size(); ++i) send_text(clients[i], "c" + std::to_string(i) + "\n");
    for (size_t i = 0; i < clients.size(); ++i) {
        std::string expected = "got:c" + std::to_string(i) + "\n";
        EXPECT_EQ(read_n(clients[i], expected.size()), expected);
    }
    for (int s : clients) close(s);
}

TEST_F(Engine, AcceptingGoesOnAfterDescriptorsRanOut)
{
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    // Room for a few more descriptors only: the clients' sockets and the
    // accepted ones share this process.
    int probe = dup(0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = (rlim_t)probe + 12;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> clients;
    for (int i = 0; i < 10; ++i) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0) break;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        clients.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int s : clients) close(s);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(stopping.load());
    int s = connect_client();
    send_text(s, "still\n");
    EXPECT_EQ(read_n(s, 10), "got:still\n");
    close(s);
}

} // namespace
