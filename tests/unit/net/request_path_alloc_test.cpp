// The request path allocates nothing: the whole server runs in this process
// with an allocator that counts every call made by a thread other than the
// test's own, over 10,000 mixed requests (rendered Markdown pages among them).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "content/reader_queue.h"
#include "core/lifecycle.h"
#include "core/settings.h"
#include "core/text.h"
#include "http/exchange.h"
#include "net/server.h"
#include "service/console.h"
#include "service/service.h"
#include "support/loopback.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> server_allocations{0};
thread_local bool test_thread = false;

[[maybe_unused]] void note_allocation()
{
    if (counting.load(std::memory_order_relaxed) && !test_thread)
        server_allocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

// Every allocation of the process passes here. The sanitizer builds bring
// their own allocator: there the test is skipped and nothing is replaced.
extern "C" void* malloc(size_t size)
{
    note_allocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size)
{
    note_allocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size)
{
    note_allocation();
    return __libc_realloc(p, size);
}
extern "C" void* memalign(size_t alignment, size_t size)
{
    note_allocation();
    return __libc_memalign(alignment, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size)
{
    note_allocation();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
extern "C" void* aligned_alloc(size_t alignment, size_t size)
{
    note_allocation();
    return __libc_memalign(alignment, size);
}

#endif

namespace {

// Reads the rest of a chunked body, of which `have` bytes from `start` have
// arrived, up to its terminating chunk. False when the connection failed.
bool read_chunked(int s, char* buffer, size_t capacity, size_t start, size_t have)
{
    // The answer ends with the last chunk's CR LF, "0", CR LF and the empty line.
    static const char last[] = "\r\n0\r\n\r\n";
    const size_t tail = sizeof(last) - 1;
    std::memmove(buffer, buffer + start, have - start);
    have -= start;
    while (have < tail || std::memcmp(buffer + have - tail, last, tail) != 0) {
        // Keep the last bytes: the end may arrive split over two receives.
        if (have > tail) {
            std::memmove(buffer, buffer + have - tail, tail);
            have = tail;
        }
        ssize_t n = recv(s, buffer + have, capacity - 1 - have, 0);
        if (n <= 0) return false;
        have += (size_t)n;
    }
    return true;
}

// Reads one answer: the header block, then Content-Length bytes (or the
// chunks) unless the answer has no body. Returns the status code, 0 when the
// connection failed.
int read_answer(int s, bool head, char* buffer, size_t capacity)
{
    size_t have = 0;
    char* end = nullptr;
    while (!end) {
        ssize_t n = recv(s, buffer + have, capacity - 1 - have, 0);
        if (n <= 0) return 0;
        have += (size_t)n;
        buffer[have] = 0;
        end = std::strstr(buffer, "\r\n\r\n");
    }
    int status = std::atoi(buffer + 9);
    if (!head && std::strstr(buffer, "Transfer-Encoding: chunked") != nullptr)
        return read_chunked(s, buffer, capacity, (size_t)(end + 4 - buffer), have) ? status : 0;
    const char* length = std::strstr(buffer, "Content-Length: ");
    size_t body = (length && !head && status != 304) ? (size_t)std::atoll(length + 16) : 0;
    size_t total = (size_t)(end + 4 - buffer) + body;
    // Whatever arrived beyond this answer belongs to no request of ours.
    while (have < total) {
        size_t want = total - have < capacity - 1 ? total - have : capacity - 1;
        ssize_t n = recv(s, buffer, want, 0);
        if (n <= 0) return 0;
        have += (size_t)n;
    }
    return status;
}

struct mixed_request {
    const char* text; // with {} where the If-Modified-Since date goes
    bool head;
    int status;
};

TEST(RequestPath, TenThousandMixedRequestsAllocateNothing)
{
    if (sanitized) GTEST_SKIP() << "the sanitizers replace the allocator";
    test_thread = true;

    char root[] = "/tmp/qn-alloc-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    std::string r = root;
    std::string big(300000, 'b');
    std::string page_text = "# Notes\n\nSome *text*, `code`, [a link](x.md) and http://example.com.\n\n";
    std::string rows = "x\n\n| a | b |\n|:-|-:|\n";
    while (rows.size() < 90000) rows += "| *c* | `1<2` |\n";
    page_text += "```c\n#include <stdio.h>\nint main(void) { return 0x1F; } // c\n```\n";
    const std::pair<std::string, std::string> files[] = {
        {"/index.html", "<p>home</p>"}, {"/small.txt", "hello"}, {"/big.bin", big},
        {"/style.css", "a{}"}, {"/style.min.css", "a{}"}, {"/notes.md", page_text},
        {"/rows.md", rows}, {"/docs/index.md", page_text},
    };
    ASSERT_EQ(mkdir((r + "/docs").c_str(), 0700), 0);
    for (const auto& f : files) {
        FILE* out = std::fopen((r + f.first).c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(f.second.data(), 1, f.second.size(), out);
        std::fclose(out);
    }

    service_setup(0, nullptr);
    console_setup();
    reader_queue_init(&g_reader_queue);
    static G_SOCKET server{};
    server.cw_connections = slot_count;
    server.path_buffer_length = path_buffer_length;
    server.packet_length_rw[0] = receive_buffer_length;
    server.packet_length_rw[1] = send_buffer_length;
    server.region.unit_size = large_page_minimum(&server.region);
    for (uint32_t i = 0; i < slot_count; ++i) slot_setup(&server.slots[i], i);
    std::string ini = "root=" + r + "\r\nmin_gz=1\r\nview_md=1\r\nvdir=\r\n{\r\nmedia|" + r + "\r\n}\r\n";
    char16_t text[1024];
    ASSERT_GT(utf8_to_utf16(text, 1024, ini.c_str()), 0u);
    settings_reading reading;
    ASSERT_EQ(settings_parse_text(&server, text, &reading), 0);
    // Parsing fills the server object; the reading publishes the switches.
    g_view_md.store(server.view_md);
    server.port = free_loopback_port();
    server.addr_local_port = server.port;
    server.configured.store(true);
    slots_reserve(&server);
    for (uint32_t i = 0; i < slot_count; ++i) exchange_setup(&g_exchanges[i], &server.slots[i]);
    slots_start(&server);
    std::thread listener([] { run_server(&server); });
    int s = -1;
    for (int i = 0; i < 500 && s < 0; ++i) {
        s = connect_loopback(server.port);
        if (s < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(s, 0);
    close(s);

    static char buffer[1 << 20];
    const mixed_request requests[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /small.txt HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"HEAD /big.bin HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", true, 200},
        {"GET /big.bin HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nRange: bytes=70000-70009\r\n\r\n", false, 206},
        {"GET /big.bin HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /style.css HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nAccept-Encoding: gzip, br\r\n\r\n", false, 200},
        {"GET /missing.txt HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 404},
        {"GET /quillnest/theme.css HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /media/small.txt?x=1 HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /media HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 302},
        {"POST /echo HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nContent-Length: 5\r\n\r\nhello", false, 200},
        {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 404},
        {"GET /a/../small.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /notes.md?view HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /rows.md?view HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"HEAD /rows.md?view HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", true, 200},
        {"GET /docs/ HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", false, 200},
        {"GET /notes.md?view HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nRange: bytes=10-99\r\n\r\n", false, 206},
    };
    constexpr int total = 10000;
    constexpr int per_connection = 100;
    counting.store(true);
    int answered = 0;
    for (int c = 0; c < total / per_connection; ++c) {
        s = connect_loopback(server.port);
        ASSERT_GE(s, 0);
        for (int i = 0; i < per_connection; ++i) {
            const mixed_request& q = requests[(c * per_connection + i) % (sizeof(requests) / sizeof(requests[0]))];
            ASSERT_EQ(send(s, q.text, std::strlen(q.text), MSG_NOSIGNAL), (ssize_t)std::strlen(q.text));
            ASSERT_EQ(read_answer(s, q.head, buffer, sizeof(buffer)), q.status) << q.text;
            ++answered;
        }
        close(s);
    }
    counting.store(false);
    EXPECT_EQ(answered, total);
    EXPECT_EQ(server_allocations.load(), 0u);

    event_signal(&g_console_stop);
    listener.join();
    shutdown_server(&server);
    g_view_md.store(false);
    settings_release();
    reader_queue_release(&g_reader_queue);
    console_teardown();
    service_teardown();
    for (const auto& f : files) unlink((r + f.first).c_str());
    rmdir((r + "/docs").c_str());
    rmdir(root);
}

} // namespace
