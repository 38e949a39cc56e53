// Request dispatch with the real parser, path resolution, fixed pages and send
// path, but no threads of the slot: every packet is read from p_send/size_send
// and the send_done token handed back by the test itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/reload_handshake.h"
#include "core/settings.h"
#include "http/dispatch.h"
#include "http/request.h"
#include "http/response.h"
#include "net/receive_loop.h"
#include "net/server.h"
#include "support/exchange.h"
#include "os/event.h"

namespace {

constexpr uint64_t half_size = test_exchange::half_size;

TEST(UpgradeHostHash, HandComputedValues)
{
    struct hash_case {
        std::string host;
        uint64_t hash;
    };
    const hash_case cases[] = {
        {"", 0},
        {"a", 0x61},
        {"site", 0x65746973},
        // Eight bytes fill the word once; the final XOR adds a zero word.
        {"abcdefgh", 0x6867666564636261},
        // "t" at index 8: halves swapped (0x47), plus 8.
        {"localhost", 0x736f686c61636f23},
        {"www.example.com", 0x6d857b27c317b878},
        // Indices 16 and 17 are taken as they are again.
        {"www.example.org.uk", 0x9ce54c67c317d30d},
        // From 0x80 on the byte counts as negative: 0xF0 with its upper
        // half, plus the index (0x80 at 8 gives 0xF8 + 8 = 0x00).
        {"12345678\x80\xff\x9a\x7f", 0x3837363536303a31},
        {"\xc3\xa9t\xc3\xa9.example.test.x", 0x1d30c1cb6a4b02ae},
    };
    for (const hash_case& hc : cases)
        EXPECT_EQ(upgrade_host_hash(hc.host.data(), hc.host.size()), hc.hash) << hc.host;
}

TEST(UpgradeHostHash, OnlyTheGivenBytesCount)
{
    const char text[] = "example.com:8080";
    EXPECT_EQ(upgrade_host_hash(text, 11), upgrade_host_hash("example.com", 11));
    EXPECT_NE(upgrade_host_hash(text, 11), upgrade_host_hash(text, 16));
}

// One connection slot with its buffers and send events, and settings that the
// tests change put back afterwards.
class Dispatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() { reload_handshake_open(); }
    static void TearDownTestSuite() { reload_handshake_close(); }

    void SetUp() override
    {
        g_min_gz.store(false);
        g_upgrade_hsts_in_effect.store(false);
        g_upgrade_https_in_effect.store(false);
        saved_root_length = g_root_length;
        std::memcpy(saved_root, g_root, sizeof(saved_root));
        saved_vdir = g_vdir_mappings;
        set_root(u"/nonexistent-quillnest-root");

        t.reset(new test_exchange());
        slot = t->slot.get();
        x = t->exchange.get();
    }

    void TearDown() override
    {
        t.reset();
        g_upgrade_https_in_effect.store(false);
        g_root_length = saved_root_length;
        std::memcpy(g_root, saved_root, sizeof(saved_root));
        g_vdir_mappings = saved_vdir;
    }

    void set_root(const std::u16string& root)
    {
        std::memcpy(g_root, root.c_str(), (root.size() + 1) * sizeof(char16_t));
        g_root_length = root.size();
    }

    // Puts text into the receive buffer as the receive loop does.
    void receive(const std::string& text)
    {
        std::memcpy(t->receive_buffer.data(), text.data(), text.size());
        t->receive_buffer[text.size()] = '\0';
        length = text.size();
    }

    void dispatch(const std::string& text)
    {
        receive(text);
        dispatch_verdict verdict{};
        dispatch_request(slot, t->receive_buffer.data(), length, false, &verdict);
    }

    // Whether a packet was handed over within wait_ms; its bytes in `packet`.
    bool take_packet(int64_t wait_ms = 0)
    {
        if (!t->take_packet(wait_ms)) return false;
        packet = t->packet;
        return true;
    }

    // The one packet a request is answered with ("" when there is none).
    std::string answer(const std::string& text)
    {
        dispatch(text);
        if (!take_packet()) return std::string();
        std::string first = packet;
        EXPECT_FALSE(take_packet()) << "one packet for " << text;
        return first;
    }

    // Parses text for check_https_upgrade.
    void parse(const std::string& text)
    {
        receive(text);
        reset_request(&x->request);
        ASSERT_TRUE(parse_request(&x->request, t->receive_buffer.data(), length, slot->receive_end));
    }

    std::unique_ptr<test_exchange> t;
    connection_slot* slot = nullptr;
    http_exchange* x = nullptr;
    uint64_t length = 0;
    std::string packet;
    char16_t saved_root[256];
    uint64_t saved_root_length = 0;
    mapping_list saved_vdir{};
};

std::string status_line(const std::string& packet) { return packet.substr(0, packet.find("\r\n")); }

std::string header_value(const std::string& packet, const std::string& name)
{
    std::string block = packet.substr(0, packet.find("\r\n\r\n") + 2);
    size_t at = block.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    at += 4 + name.size();
    return block.substr(at, block.find("\r\n", at) - at);
}

std::string body_of(const std::string& packet) { return packet.substr(packet.find("\r\n\r\n") + 4); }

const char short_405[] = "HTTP/1.1 405 Method Not Allowed\r\nServer: quillnestweb\r\n"
                         "Content-Type: text/plain\r\nConnection: close\r\nContent-Length: 48\r\n\r\n"
                         "quillnest web server\r\n\r\n405 Method Not Allowed\r\n";
const char short_400[] = "HTTP/1.1 400 Bad Request\r\nServer: quillnestweb\r\n"
                         "Content-Type: text/plain\r\nConnection: close\r\nContent-Length: 41\r\n\r\n"
                         "quillnest web server\r\n\r\n400 Bad Request\r\n";

TEST_F(Dispatch, RefusedMethodGets405AndTheConnectionEnds)
{
    for (const char* text : {"DELETE /x HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n",
                             "OPTIONS * HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n",
                             "PUT / HTTP/1.1\r\nHost: x\r\n\r\n"}) {
        EXPECT_EQ(answer(text), short_405) << text;
        EXPECT_FALSE(x->request.keep_alive) << text;
        EXPECT_FALSE(slot->tls.abortive_close.load()) << text;
    }
}

TEST_F(Dispatch, MalformedRequestGets400AndAnAbortiveClose)
{
    const std::string header_only = std::string(short_400).substr(0, std::strlen(short_400) - 41);
    struct bad_case {
        const char* text;
        std::string expected;
    };
    const bad_case cases[] = {
        {"get / HTTP/1.1\r\nHost: x\r\n\r\n", short_400},
        {"PROPFIND / HTTP/1.1\r\nHost: x\r\n\r\n", short_400},
        {"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", short_400},
        {"GET nothing HTTP/1.1\r\nHost: x\r\n\r\n", short_400},
        // A HEAD request gets the header block alone.
        {"HEAD / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", header_only},
    };
    for (const bad_case& bc : cases) {
        slot->tls.abortive_close.store(false);
        EXPECT_EQ(answer(bc.text), bc.expected) << bc.text;
        EXPECT_FALSE(x->request.keep_alive) << bc.text;
        EXPECT_TRUE(slot->tls.abortive_close.load()) << bc.text;
    }
}

TEST_F(Dispatch, IncompleteRequestWaitsWithoutAnswer)
{
    std::string full = "GET /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n";
    dispatch(full.substr(0, 20));
    EXPECT_FALSE(take_packet());
    EXPECT_FALSE(x->request.complete);
    EXPECT_NE(x->request.pending_end, nullptr);

    // More data behind the same start completes it.
    dispatch(full);
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(status_line(packet), "HTTP/1.1 200 OK");
}

TEST_F(Dispatch, Routing)
{
    struct route_case {
        const char* text;
        const char* status;
        const char* body_mark; // a piece of the body, or null for no body
    };
    const route_case cases[] = {
        {"GET /quillnest/theme.css HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", ".qn_"},
        // The prefix test covers ten bytes only.
        {"GET /quillnestx HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", "Enjoy the nest!"},
        {"HEAD /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", nullptr},
        // POST goes to the built-in handler whatever the path.
        {"POST /anything HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 200 OK", "hello"},
        {"POST /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 411 Length Required", "411"},
        // Percent-encoded, the prefix is not the built-in space: the file is missing.
        {"GET /%71uillnest/theme.css HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found", "404 Not Found"},
        {"GET /missing HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found", "404 Not Found"},
    };
    for (const route_case& rc : cases) {
        std::string got = answer(rc.text);
        EXPECT_EQ(status_line(got), rc.status) << rc.text;
        if (rc.body_mark) EXPECT_NE(body_of(got).find(rc.body_mark), std::string::npos) << rc.text;
        else EXPECT_EQ(body_of(got), "") << rc.text;
    }
}

TEST_F(Dispatch, ContentCodingAndSecureAreSetPerRequest)
{
    x->response.encoding_br = true;
    x->response.encoding_gzip = true;
    x->response.secure = true;
    answer("GET /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_FALSE(x->response.encoding_br);
    EXPECT_FALSE(x->response.encoding_gzip);
    EXPECT_FALSE(x->response.secure);
}

TEST_F(Dispatch, UnresolvablePathGets500InHtml)
{
    g_root_length = 0;
    g_root[0] = 0;
    std::string got = answer("GET /a HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(status_line(got), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(header_value(got, "Content-Type"), "text/html");
    EXPECT_EQ(header_value(got, "Connection"), "close");
    EXPECT_NE(body_of(got).find("500 Internal Server Error</td>"), std::string::npos);
    EXPECT_EQ(header_value(got, "Content-Length"), std::to_string(body_of(got).size()));
    EXPECT_FALSE(x->request.keep_alive);
    EXPECT_FALSE(reload_slot_resolving(slot->number));
}

TEST_F(Dispatch, VirtualDirectoryWithoutSlashIsRedirected)
{
    char16_t name[] = u"media";
    char16_t target[] = u"/nonexistent-quillnest-media";
    char16_t user[] = u"";
    mapping_entry entry{name, target, user, std::char_traits<char16_t>::length(target), false};
    g_vdir_mappings = mapping_list{&entry, nullptr, 1};

    struct redirect_case {
        const char* text;
        const char* location;
        bool body;
    };
    const redirect_case cases[] = {
        {"GET /media HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", "/media/", true},
        {"GET /media?x=1 HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", "/media/?x=1", true},
        {"HEAD /media HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", "/media/", false},
    };
    for (const redirect_case& rc : cases) {
        std::string got = answer(rc.text);
        EXPECT_EQ(status_line(got), "HTTP/1.1 302 Found") << rc.text;
        EXPECT_EQ(header_value(got, "Location"), rc.location) << rc.text;
        EXPECT_EQ(header_value(got, "Connection"), "keep-alive") << rc.text;
        std::string body = body_of(got);
        if (rc.body)
            EXPECT_NE(body.find(std::string("<a href=\"") + rc.location + "\">"), std::string::npos) << rc.text;
        else
            EXPECT_EQ(body, "") << rc.text;
        EXPECT_TRUE(x->request.keep_alive) << rc.text;
    }
}

TEST_F(Dispatch, ResolvingWaitsForARunningReload)
{
    reload_begin();
    receive("GET /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n");
    std::atomic<bool> done{false};
    std::thread worker([&] {
        dispatch_verdict verdict{};
        dispatch_request(slot, t->receive_buffer.data(), length, false, &verdict);
        done.store(true);
    });
    EXPECT_FALSE(take_packet(200)) << "answered while the settings were being replaced";
    EXPECT_FALSE(done.load());
    // The waiting slot has stepped back, so the reload can go on.
    EXPECT_FALSE(reload_slot_resolving(slot->number));

    reload_end();
    EXPECT_TRUE(take_packet(5000));
    worker.join();
    EXPECT_EQ(status_line(packet), "HTTP/1.1 200 OK");
    EXPECT_FALSE(reload_slot_resolving(slot->number));
}

// The HTTPS upgrade with the per-slot verdict cache. No certificate is loaded
// in these tests, so a computed verdict is always false; a cached true
// verdict is planted to reach the redirect.
class Upgrade : public Dispatch {
protected:
    void SetUp() override
    {
        Dispatch::SetUp();
        g_upgrade_https_in_effect.store(true);
    }

    bool check() { return check_https_upgrade(x, t->receive_buffer.data()); }

    // Caches a verdict as a check under the current settings would.
    void plant(uint64_t verdict)
    {
        x->upgrade_verdict = verdict;
        x->upgrade_generation = reload_generation() + 1;
    }

    const std::string request_text = "GET /a%20b/c?x=1&y HTTP/1.1\r\nHost: Site:8080\r\n"
                                     "Upgrade-Insecure-Requests: 1\r\n\r\n";
    const uint64_t site_hash = upgrade_host_hash("site", 4);
};

TEST_F(Upgrade, ComputedVerdictIsCachedWithTheHostHash)
{
    ASSERT_EQ(site_hash & 1, 1u) << "the test needs a hash whose lowest bit the verdict replaces";
    parse(request_text);
    EXPECT_FALSE(check());
    EXPECT_EQ(x->upgrade_verdict, site_hash & ~1ULL);
    EXPECT_EQ(std::string(t->receive_buffer.data(), 3), "GET") << "nothing is written without a redirect";
}

TEST_F(Upgrade, CachedVerdictWritesTheUrl)
{
    plant(site_hash | 1);
    parse(request_text);
    ASSERT_TRUE(check());
    EXPECT_STREQ(t->receive_buffer.data(), "https://site:8080/a%20b/c?x=1&y");
    EXPECT_EQ(x->upgrade_verdict, site_hash | 1);

    // Without a query nothing follows the path.
    parse("GET /index.htm HTTP/1.1\r\nHost: site\r\nUpgrade-Insecure-Requests: 1\r\n\r\n");
    ASSERT_TRUE(check());
    EXPECT_STREQ(t->receive_buffer.data(), "https://site/index.htm");
}

TEST_F(Upgrade, AReadingOfTheSettingsOutdatesTheCachedVerdict)
{
    plant(site_hash | 1);
    reload_count_reading();
    parse(request_text);
    EXPECT_FALSE(check()) << "a verdict from before the reading was used";
    EXPECT_EQ(x->upgrade_verdict, site_hash & ~1ULL);
}

TEST_F(Upgrade, AnotherHostIsCheckedAgain)
{
    plant(site_hash | 1);
    parse("GET / HTTP/1.1\r\nHost: other\r\nUpgrade-Insecure-Requests: 1\r\n\r\n");
    EXPECT_FALSE(check());
    EXPECT_EQ(x->upgrade_verdict, upgrade_host_hash("other", 5) & ~1ULL);
}

TEST_F(Upgrade, ConditionsThatRuleItOut)
{
    struct off_case {
        const char* name;
        std::string text;
        bool secure;
        bool in_effect;
        uint64_t slot_buffer_size;
        int32_t method; // replaces the parsed method when not -1
    };
    const off_case cases[] = {
        {"over TLS", request_text, true, true, half_size, -1},
        {"upgrade not in effect", request_text, false, false, half_size, -1},
        {"no header", "GET / HTTP/1.1\r\nHost: site\r\n\r\n", false, true, half_size, -1},
        {"header value 0", "GET / HTTP/1.1\r\nHost: site\r\nUpgrade-Insecure-Requests: 0\r\n\r\n", false, true,
         half_size, -1},
        {"no Host", "GET / HTTP/1.0\r\nUpgrade-Insecure-Requests: 1\r\n\r\n", false, true, half_size, -1},
        {"Host longer than the slot buffer", request_text, false, true, 8, -1},
        {"method not served", request_text, false, true, half_size, method_options},
    };
    for (const off_case& oc : cases) {
        plant(site_hash | 1);
        parse(oc.text);
        x->response.secure = oc.secure;
        g_upgrade_https_in_effect.store(oc.in_effect);
        slot->channel.slot_buffer_size = oc.slot_buffer_size;
        if (oc.method != -1) x->request.method = oc.method;
        EXPECT_FALSE(check()) << oc.name;
        EXPECT_EQ(x->upgrade_verdict, site_hash | 1) << oc.name << ": the cache is untouched";
    }
}

TEST_F(Upgrade, DispatchSendsTheRedirect)
{
    plant(site_hash | 1);
    std::string got = answer("GET /docs/?v=2 HTTP/1.1\r\nHost: site:8080\r\nUpgrade-Insecure-Requests: 1\r\n"
                             "Connection: keep-alive\r\n\r\n");
    EXPECT_EQ(status_line(got), "HTTP/1.1 302 Found");
    EXPECT_EQ(header_value(got, "Location"), "https://site:8080/docs/?v=2");
    EXPECT_NE(body_of(got).find("<a href=\"https://site:8080/docs/?v=2\">"), std::string::npos);
    EXPECT_TRUE(x->request.keep_alive);

    // Without the header the same request is served over plain HTTP.
    got = answer("GET /quillnest/ HTTP/1.1\r\nHost: site:8080\r\n\r\n");
    EXPECT_EQ(status_line(got), "HTTP/1.1 200 OK");
}

} // namespace
