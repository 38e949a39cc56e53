// The fixed answers with the real send path but no sending thread: every
// packet is read from p_send/size_send and the send_done token handed back by
// the test itself.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "assets/builtin_assets.h"
#include "assets/embedded.h"
#include "core/settings.h"
#include "http/canned_pages.h"
#include "http/request.h"
#include "http/response.h"
#include "net/server.h"
#include "support/exchange.h"
#include "os/event.h"

namespace {

constexpr uint64_t half_size = test_exchange::half_size;

constexpr char security_lines[] = "X-Content-Type-Options: nosniff\r\n"
                                  "X-Frame-Options: SAMEORIGIN\r\n"
                                  "Referrer-Policy: strict-origin-when-cross-origin\r\n";

constexpr char banner[] =
    "<b id=\"g\" class=\"qn_quillnest\">quill<span class=\"qn_nest\">nest</span></b> web server";
constexpr char message_cell[] = "<tr class=\"qn_center\"><td colspan=\"4\" class=\"qn_err\">";
constexpr char tail_start[] = "</td></tr><tr><td colspan=\"4\">&nbsp;</td></tr>";
constexpr char tail_end[] = "setTimeout(light, 2000); }</script></body></html>";
constexpr uint64_t tail_length = 624;

std::string header_of(const std::string& packet)
{
    size_t end = packet.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : packet.substr(0, end + 4);
}

std::string body_of(const std::string& packet)
{
    size_t end = packet.find("\r\n\r\n");
    return end == std::string::npos ? packet : packet.substr(end + 4);
}

// The value of a header line, "" when the block has none.
std::string header_value(const std::string& packet, const std::string& name)
{
    std::string block = header_of(packet);
    size_t at = block.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    at += 4 + name.size();
    return block.substr(at, block.find("\r\n", at) - at);
}

// The HTML page around a message: head, message, tail (the page's own pieces
// are checked where they are known, the rest by its length).
void expect_html_page(const std::string& body, const std::string& message)
{
    EXPECT_EQ(body.rfind("<html><head><title>quillnest</title><style>", 0), 0u);
    EXPECT_NE(body.find(std::string("<td colspan=\"4\">") + banner + "</td></tr>"), std::string::npos);
    std::string around = std::string(message_cell) + message + tail_start;
    size_t at = body.find(around);
    ASSERT_NE(at, std::string::npos) << message;
    size_t tail = at + std::strlen(message_cell) + message.size();
    EXPECT_EQ(body.size() - tail, tail_length);
    EXPECT_EQ(body.substr(body.size() - std::strlen(tail_end)), tail_end);
}

class CannedPages : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        embedded_files_init();
        builtin_assets_init();
    }

    void SetUp() override
    {
        g_min_gz.store(false);
        g_upgrade_hsts_in_effect.store(false);
        t.reset(new test_exchange());
        slot = t->slot.get();
        x = t->exchange.get();
    }

    void TearDown() override
    {
        t.reset();
        if (peer[0] >= 0) close(peer[0]);
        if (peer[1] >= 0) close(peer[1]);
    }

    // Parses text as the receive loop would hand it over; the receive buffer
    // ends `buffer_length` bytes after its start.
    bool parse(const std::string& text, uint64_t buffer_length = receive_buffer_length)
    {
        std::memcpy(t->receive_buffer.data(), text.data(), text.size());
        t->receive_buffer[text.size()] = '\0';
        slot->receive_end = t->receive_buffer.data() + buffer_length;
        reset_request(&x->request);
        return parse_request(&x->request, t->receive_buffer.data(), text.size(), slot->receive_end);
    }

    // Whether a packet was handed over within wait_ms; its bytes in `packet`.
    bool take_packet(int64_t wait_ms = 0)
    {
        if (!t->take_packet(wait_ms)) return false;
        packet = t->packet;
        return true;
    }

    std::string serve(const std::string& text)
    {
        EXPECT_TRUE(parse(text)) << text;
        EXPECT_TRUE(serve_builtin(x)) << text;
        EXPECT_TRUE(take_packet()) << text;
        EXPECT_FALSE(take_packet()) << "one packet for " << text;
        return packet;
    }

    std::string error_page(int32_t status, bool keep_alive, bool header_only, bool short_form)
    {
        char* buffer = slot->channel.slot_buffer;
        uint64_t built = send_error_page(&x->response, buffer, half_size, status, keep_alive,
                                         header_only, short_form);
        return std::string(buffer, built);
    }

    // A connected socket pair; the slot's connection reads from peer[0].
    void connect_peer()
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, peer), 0);
        // A relay that waits for bytes that never come fails instead of hanging.
        timeval limit{10, 0};
        setsockopt(peer[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        slot->tls.so.store(peer[0]);
    }

    std::unique_ptr<test_exchange> t;
    connection_slot* slot = nullptr;
    http_exchange* x = nullptr;
    std::string packet;
    int peer[2] = {-1, -1};
};

TEST_F(CannedPages, ShortErrorPagesAreByteExact)
{
    struct short_case {
        int32_t status;
        bool keep_alive;
        const char* text;
    };
    const short_case cases[] = {
        {status_bad_request, false,
         "HTTP/1.1 400 Bad Request\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
         "Connection: close\r\nContent-Length: 41\r\n\r\n"
         "quillnest web server\r\n\r\n400 Bad Request\r\n"},
        {status_method_not_allowed, false,
         "HTTP/1.1 405 Method Not Allowed\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
         "Connection: close\r\nContent-Length: 48\r\n\r\n"
         "quillnest web server\r\n\r\n405 Method Not Allowed\r\n"},
        {status_length_required, false,
         "HTTP/1.1 411 Length Required\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
         "Connection: close\r\nContent-Length: 45\r\n\r\n"
         "quillnest web server\r\n\r\n411 Length Required\r\n"},
        {status_internal_error, true,
         "HTTP/1.1 500 Internal Server Error\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
         "Connection: keep-alive\r\nContent-Length: 51\r\n\r\n"
         "quillnest web server\r\n\r\n500 Internal Server Error\r\n"},
    };
    for (const short_case& sc : cases) {
        EXPECT_EQ(error_page(sc.status, sc.keep_alive, false, true), sc.text) << sc.status;
        EXPECT_EQ(error_page(sc.status, sc.keep_alive, true, true), header_of(sc.text)) << sc.status;
    }
}

TEST_F(CannedPages, HtmlErrorPage)
{
    std::string page = error_page(status_not_found, true, false, false);
    std::string body = body_of(page);
    EXPECT_EQ(header_of(page), "HTTP/1.1 404 Not Found\r\nServer: quillnestweb\r\n"
                               "Content-Type: text/html\r\nConnection: keep-alive\r\n"
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    expect_html_page(body, "404 Not Found");

    // HEAD: the same header block, with the page's length and no page.
    EXPECT_EQ(error_page(status_not_found, true, true, false), header_of(page));

    std::string forbidden = error_page(status_forbidden, false, false, false);
    expect_html_page(body_of(forbidden), "403 Forbidden");
    EXPECT_EQ(body_of(forbidden).size(), body.size() - std::strlen("404 Not Found") +
                                             std::strlen("403 Forbidden"));
}

TEST_F(CannedPages, ErrorPageThatDoesNotFitBuildsNothing)
{
    std::string full = error_page(status_not_found, false, false, false);
    std::string header = header_of(full);
    char* buffer = slot->channel.slot_buffer;
    for (uint64_t capacity : {(uint64_t)0, (uint64_t)10, (uint64_t)header.size(), (uint64_t)full.size() - 1})
        EXPECT_EQ(send_error_page(&x->response, buffer, capacity, status_not_found, false, false, false), 0u)
            << capacity;
    EXPECT_EQ(send_error_page(&x->response, buffer, full.size(), status_not_found, false, false, false),
              full.size());
    // The header block alone still fits where the page does not.
    EXPECT_EQ(send_error_page(&x->response, buffer, header.size() + 1, status_not_found, false, true, false),
              header.size());
    for (int32_t status : {-1, (int32_t)status_count})
        EXPECT_EQ(send_error_page(&x->response, buffer, half_size, status, false, false, true), 0u);
}

TEST_F(CannedPages, RedirectCarriesTheUrlUnchanged)
{
    const std::string url = "/media/?x=1";
    const std::string body = "<html><head><title>302 Found</title></head><body><a href=\"" + url +
                             "\"><h1>Moved here</h1></a></body></html>";
    const std::string header = std::string("HTTP/1.1 302 Found\r\nServer: quillnestweb\r\n"
                                           "Content-Type: text/html\r\n") +
                               security_lines + "Location: " + url +
                               "\r\nConnection: keep-alive\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n";

    ASSERT_TRUE(parse("GET /media?x=1 HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_TRUE(send_redirect_page(&x->response, &x->request, url.c_str()));
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet, header + body);

    ASSERT_TRUE(parse("HEAD /media HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_TRUE(send_redirect_page(&x->response, &x->request, url.c_str()));
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet, header);
}

TEST_F(CannedPages, RedirectThatCannotBeBuiltEndsTheConnection)
{
    ASSERT_TRUE(parse("GET /a HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_FALSE(send_redirect_page(&x->response, &x->request, "/a\rSet-Cookie: x=1/"));
    EXPECT_FALSE(take_packet());
    EXPECT_FALSE(x->request.keep_alive);
}

TEST_F(CannedPages, AssetThenNotModified)
{
    const embedded_file* css = find_builtin_asset("theme.css");
    ASSERT_NE(css, nullptr);
    std::string data(reinterpret_cast<const char*>(css->data), css->length);

    std::string first = serve("GET /quillnest/theme.css HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(header_value(first, "Content-Type").rfind("text/css", 0), 0u);
    EXPECT_EQ(header_value(first, "Last-Modified"), css->modified);
    EXPECT_EQ(header_value(first, "Content-Length"), std::to_string(css->length));
    EXPECT_EQ(header_value(first, "Connection"), "keep-alive");
    EXPECT_EQ(body_of(first), data);

    // The client sends the date back in a letter case of its own.
    std::string date = header_value(first, "Last-Modified");
    std::string upper = date;
    for (char& c : upper) c = (char)std::toupper((unsigned char)c);
    for (const std::string& sent : {date, upper}) {
        std::string second = serve("GET /quillnest/theme.css HTTP/1.1\r\nHost: h\r\nIf-Modified-Since: " +
                                   sent + "\r\n\r\n");
        EXPECT_EQ(second.rfind("HTTP/1.1 304 Not Modified\r\n", 0), 0u) << sent;
        EXPECT_EQ(header_value(second, "Content-Length"), std::to_string(css->length));
        EXPECT_EQ(header_value(second, "Connection"), "close");
        EXPECT_EQ(body_of(second), "");
    }

    // Only the exact date counts: a longer, shorter or other value gets the file.
    for (const std::string& sent : {date + " x", date.substr(0, date.size() - 1), std::string("yesterday")}) {
        std::string again = serve("GET /quillnest/theme.css HTTP/1.1\r\nHost: h\r\nIf-Modified-Since: " +
                                  sent + "\r\n\r\n");
        EXPECT_EQ(again.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << sent;
        EXPECT_EQ(body_of(again), data) << sent;
    }
}

TEST_F(CannedPages, AssetHeadAndQuery)
{
    const embedded_file* png = find_builtin_asset("icon.16/audio.png");
    ASSERT_NE(png, nullptr);
    std::string head = serve("HEAD /quillnest/icon.16/audio.png HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(header_value(head, "Content-Type"), "image/png");
    EXPECT_EQ(header_value(head, "Content-Length"), std::to_string(png->length));
    EXPECT_EQ(body_of(head), "");

    // The query is not part of the name looked up.
    std::string with_query = serve("GET /quillnest/icon.16/audio.png?v=2 HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(body_of(with_query), std::string(reinterpret_cast<const char*>(png->data), png->length));
}

TEST_F(CannedPages, GreetingForEverythingElseBelowTheBuiltInSpace)
{
    const char* targets[] = {"/quillnest/", "/quillnest", "/quillnestx", "/quillnest/Theme.css",
                             "/quillnest/nothing", "/quillnest/theme.css/", "/quillnest/%74heme.css"};
    std::string first;
    for (const char* target : targets) {
        std::string page = serve(std::string("GET ") + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
        EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << target;
        EXPECT_EQ(header_value(page, "Content-Type"), "text/html") << target;
        std::string body = body_of(page);
        EXPECT_EQ(header_value(page, "Content-Length"), std::to_string(body.size())) << target;
        expect_html_page(body, "Enjoy the nest!");
        if (first.empty()) first = body;
        EXPECT_EQ(body, first) << target;
    }

    std::string head = serve("HEAD /quillnest/ HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(header_value(head, "Content-Length"), std::to_string(first.size()));
    EXPECT_EQ(body_of(head), "");

    // A request line without a version gets the page without a header block.
    EXPECT_EQ(serve("GET /quillnest/\r\n"), first);
}

TEST_F(CannedPages, PostIsEchoed)
{
    std::string echo = serve("POST /anything HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n"
                             "Connection: keep-alive\r\n\r\nhello");
    EXPECT_EQ(echo.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(header_value(echo, "Content-Type"), "text/plain");
    EXPECT_EQ(header_value(echo, "Content-Length"), "5");
    EXPECT_EQ(header_value(echo, "Connection"), "keep-alive");
    EXPECT_EQ(body_of(echo), "hello");
    EXPECT_TRUE(x->request.keep_alive);
    // The NUL behind the body is written, not sent.
    EXPECT_EQ(slot->channel.p_send[slot->channel.size_send], '\0');

    // Bytes that follow the body belong to the next request.
    std::string pipelined = serve("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n");
    EXPECT_EQ(body_of(pipelined), "abc");
}

TEST_F(CannedPages, PostWithoutUsableLengthGets411)
{
    const char* requests[] = {
        "POST /anything HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n",
        "POST /anything HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
    };
    for (const char* request : requests) {
        EXPECT_EQ(serve(request), "HTTP/1.1 411 Length Required\r\nServer: quillnestweb\r\n"
                                  "Content-Type: text/plain\r\nConnection: close\r\n"
                                  "Content-Length: 45\r\n\r\n"
                                  "quillnest web server\r\n\r\n411 Length Required\r\n")
            << request;
        EXPECT_FALSE(x->request.keep_alive) << request;
    }
}

TEST_F(CannedPages, OtherMethodsGet405)
{
    ASSERT_TRUE(parse("GET /quillnest/ HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n"));
    x->request.method = method_delete;
    EXPECT_TRUE(serve_builtin(x));
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);
    EXPECT_EQ(body_of(packet), "quillnest web server\r\n\r\n405 Method Not Allowed\r\n");
    EXPECT_FALSE(x->request.keep_alive);
}

TEST_F(CannedPages, PostBodyLargerThanTheSlotBufferGets500)
{
    slot->channel.slot_buffer_size = 512;
    std::string body(200, 'b');
    std::string answer = serve("POST /x HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\nContent-Length: 200\r\n\r\n" + body);
    EXPECT_EQ(answer, "HTTP/1.1 500 Internal Server Error\r\nServer: quillnestweb\r\n"
                      "Content-Type: text/plain\r\nConnection: close\r\nContent-Length: 51\r\n\r\n"
                      "quillnest web server\r\n\r\n500 Internal Server Error\r\n");
    EXPECT_FALSE(x->request.keep_alive);
}

// Every slot buffer size, down to ones the header block alone fills or
// overruns: the answer is the echo, the short 500 or nothing, and no byte is
// written past the size.
TEST_F(CannedPages, SmallSlotBuffersNeverOverflow)
{
    const std::string text = "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'b');
    for (uint64_t size = 1; size <= 700; ++size) {
        std::fill(t->send_buffer.begin(), t->send_buffer.end(), '#');
        slot->channel.slot_buffer = t->send_buffer.data();
        slot->channel.half = false;
        slot->channel.slot_buffer_size = size;
        ASSERT_TRUE(parse(text));
        serve_builtin(x);
        if (take_packet()) {
            EXPECT_TRUE(packet.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 ||
                        packet.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0) == 0)
                << size;
            EXPECT_LE(packet.size(), size);
        }
        for (uint64_t i = size; i < size + 64; ++i) ASSERT_EQ(t->send_buffer[i], '#') << size;
    }
}

// A body cut short by the end of the receive buffer: what arrived is sent with
// the header block, the rest is received and relayed piece by piece.
class PostRelay : public CannedPages {
protected:
    // Parses a POST announcing `total` body bytes into a receive buffer that
    // ends 8 bytes behind the data; the body received so far in `received`.
    void parse_cut_short(uint64_t total, uint64_t buffer_length)
    {
        std::string head = "POST /upload HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\nContent-Length: " +
                           std::to_string(total) + "\r\n\r\n";
        expected_body = std::string();
        for (uint64_t i = 0; i < total; ++i) expected_body.push_back((char)('a' + (i * 7 + i / 251) % 26));
        std::string text = head + expected_body.substr(0, buffer_length - 8 - head.size());
        ASSERT_TRUE(parse(text, buffer_length));
        ASSERT_NE(x->request.body_received, 0u);
        received = x->request.body_received;
    }

    // Runs serve_builtin on a thread of its own while a writer sends `rest` in
    // pieces, and collects the packets until serve_builtin has returned; its
    // result in `served`.
    std::string run_and_collect(const std::string& rest, bool close_after)
    {
        std::thread writer([&] {
            for (size_t at = 0; at < rest.size(); at += 7000) {
                std::string piece = rest.substr(at, 7000);
                if (send(peer[1], piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
            }
            if (close_after) shutdown(peer[1], SHUT_WR);
        });
        std::atomic<bool> done{false};
        std::thread server([&] {
            served = serve_builtin(x);
            done.store(true);
        });
        std::string all;
        for (;;) {
            if (take_packet(50)) {
                all += packet;
                continue;
            }
            // A packet handed over before the return is already signalled.
            if (done.load() && !take_packet(0)) break;
            if (done.load()) all += packet;
        }
        server.join();
        writer.join();
        return all;
    }

    std::string expected_body;
    uint64_t received = 0;
    bool served = false;
};

TEST_F(PostRelay, RestOfTheBodyIsRelayed)
{
    connect_peer();
    const uint64_t total = 600000; // more than two halves of the send buffer
    parse_cut_short(total, 4096);
    std::string all = run_and_collect(expected_body.substr(received), false);
    EXPECT_TRUE(served);
    EXPECT_EQ(header_value(all, "Content-Length"), std::to_string(total));
    std::string body = body_of(all);
    ASSERT_EQ(body.size(), total);
    EXPECT_TRUE(body == expected_body) << "the echo differs from the body sent";
    EXPECT_TRUE(x->request.keep_alive);
}

TEST_F(PostRelay, BodyThatStopsEndsTheConnection)
{
    connect_peer();
    parse_cut_short(100000, 4096);
    std::string part = expected_body.substr(received, 30000);
    std::string all = run_and_collect(part, true);
    EXPECT_TRUE(served);
    EXPECT_EQ(body_of(all), expected_body.substr(0, received + part.size()));
    EXPECT_FALSE(x->request.keep_alive);
}

TEST_F(PostRelay, AssetAnswerToACutBodyEndsTheConnection)
{
    std::string head = "POST /quillnest/theme.css HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n"
                       "Content-Length: 100000\r\n\r\n";
    ASSERT_TRUE(parse(head + std::string(4000 - head.size(), 'z'), 4008));
    ASSERT_NE(x->request.body_received, 0u);
    EXPECT_TRUE(serve_builtin(x));
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(header_value(packet, "Connection"), "close");
    EXPECT_FALSE(x->request.keep_alive);
}

} // namespace
