#include "service/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "service/service.h"
#include "support/capture.h"

namespace {

std::string fmt(const char* format, ...)
{
    char out[console_message_capacity];
    va_list args;
    va_start(args, format);
    int n = console_vformat(out, sizeof(out), format, args);
    va_end(args);
    EXPECT_EQ((size_t)n, std::strlen(out));
    return std::string(out, (size_t)n);
}

// Runs body with the stream pointed into a pipe; returns what was written.

struct format_case {
    std::string got;
    const char* want;
};

TEST(ConsoleFormat, NarrowConversions)
{
    const format_case cases[] = {
        {fmt("%u", 4000000000u), "4000000000"},
        {fmt("%i|%d", -7, 42), "-7|42"},
        {fmt("%x|%X", 0xbeefu, 0xbeefu), "beef|BEEF"},
        {fmt("%02u:%02u", 5u, 17u), "05:17"},
        {fmt("%llu", 18446744073709551615ull), "18446744073709551615"},
        {fmt("%lli", -9223372036854775807ll - 1), "-9223372036854775808"},
        {fmt("%llx", 0x123456789abcdefull), "123456789abcdef"},
        {fmt("%016llx", 0x7f00ull), "0000000000007f00"},
        {fmt("%zu", (size_t)123456789012ull), "123456789012"},
        {fmt("%Iu|%Ix", (size_t)99, (size_t)255), "99|ff"},
        {fmt("%hhu|%hu", 300, 70000), "44|4464"},
        {fmt("100%%"), "100%"},
        {fmt("%s and %hs", "plain", "narrow"), "plain and narrow"},
        {fmt("[%5s][%-5s][%.2s]", "ab", "ab", "abcdef"), "[   ab][ab   ][ab]"},
        {fmt("[%*u][%-*u][%.*s]", 4, 7u, -4, 7u, 3, "abcdef"), "[   7][7   ][abc]"},
        {fmt("%+d % d %#x %o", 5, 5, 255u, 8u), "+5  5 0xff 10"},
        {fmt("%c%c", 'o', 'k'), "ok"},
        {fmt("%s", (const char*)nullptr), "(null)"},
        {fmt("%.1f", 2.25), "2.2"},
        {fmt("tail %"), "tail %"},
        {fmt("odd %k here"), "odd %k here"},
        {fmt(":: bind(%hs:%u)  ", "0.0.0.0", 80u), ":: bind(0.0.0.0:80)  "},
    };
    for (const format_case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ConsoleFormat, NeverWritesThroughPercentN)
{
    int target = 1234;
    EXPECT_EQ(fmt("ab%ncd", &target), "abcd");
    EXPECT_EQ(target, 1234);
}

TEST(ConsoleFormat, WideTextBecomesUtf8)
{
    const char16_t high_then_a[] = {0xD83D, u'A', 0};
    const char16_t lone_low[] = {u'x', 0xDC00, u'y', 0};
    const char16_t ends_in_high[] = {u'z', 0xD83D, 0};
    const format_case cases[] = {
        {fmt("%ls", u"mervand.quillnest"), "mervand.quillnest"},
        {fmt("%ls", u"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac"},
        {fmt("%ls", u"\U0001F600!"), "\xf0\x9f\x98\x80!"},
        {fmt("%ls", high_then_a), "\xf0\x9f\x90\x80" "A"},
        {fmt("%ls", lone_low), "xy"},
        {fmt("%ls", ends_in_high), "z"},
        {fmt("%ls", (const char16_t*)nullptr), "(null)"},
        {fmt("[%4ls]", u"\u00e9"), "[   \xc3\xa9]"},
        {fmt("[%-4ls]", u"\U0001F600"), "[\xf0\x9f\x98\x80   ]"},
        {fmt("[%.2ls]", u"\u00e9\u00e9\u00e9"), "[\xc3\xa9\xc3\xa9]"},
        {fmt("%lc", (unsigned)u'\u20ac'), "\xe2\x82\xac"},
        {fmt("%ls service %s", u"x", "start"), "x service start"},
    };
    for (const format_case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ConsoleFormat, PrecisionBoundsTheWideRead)
{
    // Not terminated: the precision is all that may be read.
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(fmt("%.3ls", unterminated), "abc");
}

TEST(ConsoleFormat, WideTextLongerThanOneStep)
{
    std::u16string text;
    for (int i = 0; i < 300; ++i) text += u"\U0001F600";
    std::string want;
    for (int i = 0; i < 300; ++i) want += "\xf0\x9f\x98\x80";
    EXPECT_EQ(fmt("%ls", text.c_str()), want);
}

TEST(ConsoleFormat, LongMessagesAreCutAtACharacter)
{
    std::string long_text(6000, 'x');
    std::string cut = fmt("%s\n", long_text.c_str());
    ASSERT_EQ(cut.size(), console_message_capacity - 1);
    EXPECT_EQ(cut.back(), '\n');
    EXPECT_EQ(cut.substr(0, cut.size() - 1), std::string(cut.size() - 1, 'x'));

    std::string no_break = fmt("%s", long_text.c_str());
    EXPECT_EQ(no_break, std::string(console_message_capacity - 1, 'x'));

    // Two-byte characters: the cut never leaves half of one behind.
    std::u16string wide(3000, u'\u00e9');
    std::string w = fmt("%ls|", wide.c_str());
    EXPECT_LE(w.size(), console_message_capacity - 1);
    EXPECT_EQ(w.size() % 2, 0u);
    EXPECT_EQ(w.substr(w.size() - 2), "\xc3\xa9");

    std::string narrow_multibyte;
    for (int i = 0; i < 2000; ++i) narrow_multibyte += "\xe2\x82\xac";
    std::string n = fmt("%s\n", narrow_multibyte.c_str());
    EXPECT_EQ(n.back(), '\n');
    EXPECT_EQ((n.size() - 1) % 3, 0u);
}

TEST(ConsoleFormat, SmallBuffers)
{
    char out[8];
    EXPECT_EQ(console_format(out, sizeof(out), "%s", "abcdefghij"), 7);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(console_format(out, sizeof(out), "abcdefghij\n"), 7);
    EXPECT_STREQ(out, "abcdef\n");
    EXPECT_EQ(console_format(out, 1, "abc"), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(console_format(out, 4, "%ls", u"\u20ac\u20ac"), 3);
    EXPECT_STREQ(out, "\xe2\x82\xac");
}

TEST(ConsoleOutput, OneWritePerCall)
{
    // A sequenced-packet socket keeps every write a message of its own.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    int saved = dup(1);
    dup2(pair[0], 1);
    std::string long_text(3000, 'y');
    int a = console_printf(":: %ls %u %s %016llx\n", u"\u00e9t\u00e9", 7u, long_text.c_str(), 0xabcull);
    int b = console_printf("second\n");
    dup2(saved, 1);
    close(saved);
    close(pair[0]);

    char message[8192];
    ssize_t first = recv(pair[1], message, sizeof(message), MSG_DONTWAIT);
    ASSERT_GT(first, 0);
    EXPECT_EQ(first, a);
    std::string want = ":: \xc3\xa9t\xc3\xa9 7 " + long_text + " 0000000000000abc\n";
    EXPECT_EQ(std::string(message, (size_t)first), want);
    ssize_t second = recv(pair[1], message, sizeof(message), MSG_DONTWAIT);
    EXPECT_EQ(second, b);
    EXPECT_EQ(std::string(message, (size_t)second), "second\n");
    EXPECT_LE(recv(pair[1], message, sizeof(message), MSG_DONTWAIT), 0);
    close(pair[1]);
}

TEST(ConsoleOutput, PrintErrorLines)
{
    std::string enoent = std::strerror(ENOENT);
    std::string eacces = std::strerror(EACCES);
    uint32_t returned = 0;
    std::string out = capture(1, [&] { returned = print_error(ENOENT, "listen(so, cw_connections)"); });
    EXPECT_EQ(returned, (uint32_t)ENOENT);
    EXPECT_EQ(out, "listen(so, cw_connections)\n   ^ERROR: 2, " + enoent + "\n");

    EXPECT_EQ(capture(1, [] { print_error(EACCES, ""); }), "\n   ^ERROR: 13, " + eacces + "\n");
    EXPECT_EQ(capture(1, [] { print_error(EACCES, nullptr); }), "   ^ERROR: 13, " + eacces + "\n");

    // A number without system text still shows the number.
    std::string unknown = capture(1, [] { print_error(99999, nullptr); });
    EXPECT_EQ(unknown.rfind("   ^ERROR: 99999, ", 0), 0u);
    EXPECT_EQ(unknown.back(), '\n');

    std::string err = capture(2, [] { print_error_stderr(ENOENT, "!! _aligned_malloc() failed to allocate RAM!"); });
    EXPECT_EQ(err, "!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 2, " + enoent + "\n");
}

TEST(ConsoleOutput, LongContextKeepsTheErrorLine)
{
    std::string context(5000, 'c');
    std::string out = capture(1, [&] { print_error(ENOENT, context.c_str()); });
    std::string line = std::string("\n   ^ERROR: 2, ") + std::strerror(ENOENT) + "\n";
    ASSERT_GT(out.size(), line.size());
    EXPECT_LE(out.size(), console_message_capacity - 1);
    EXPECT_EQ(out.substr(out.size() - line.size()), line);
}

TEST(ConsoleOutput, TimestampShape)
{
    char stamp[timestamp_capacity];
    std::memset(stamp, '#', sizeof(stamp));
    EXPECT_EQ(format_timestamp(stamp), 21);
    ASSERT_EQ(std::strlen(stamp), 21u);
    const char* pattern = "dddd-dd-dd / dd:dd:dd";
    for (int i = 0; i < 21; ++i) {
        if (pattern[i] == 'd') EXPECT_TRUE(stamp[i] >= '0' && stamp[i] <= '9') << stamp;
        else EXPECT_EQ(stamp[i], pattern[i]) << stamp;
    }
}

TEST(ConsoleColour, AttributeTable)
{
    struct row {
        uint16_t saved;
        uint16_t code;
        uint16_t want;
    };
    const row rows[] = {
        {0x07, 0x8A, 0x2F}, // attach banner: bright white on green
        {0x07, 0x0C, 0x4F}, // detach banner: bright white on red
        {0x07, 0x02, 0x0A}, // plain background, code 2
        {0x07, 0x01, 0x0B}, // plain background, other code: (c & ~7) | ((b | 4) << 1) | b
        {0x07, 0x04, 0x0C},
        {0x17, 0x0F, 0x17 | 0xF0},       // background set, white, bright
        {0x17, 0x07, 0x17 | 0x70 | 0x0F}, // background set, white, not bright
        {0x17, 0x0A, 0x17 | 0xA0 | 0x02}, // background set, (b & 6) and bright
        {0x17, 0x01, 0x10 | 0x08 | 0x01}, // background set, (c | b) = c
        {0x1F, 0x02, 0x1A},               // (c | b) = c again: low bits replaced
        {0x11, 0x04, 0x14},               // background set, ((c|b)<<4 ^ c) & 0xA0 clear
        {0x30, 0x01, 0x31},               // background set, otherwise: c | b
    };
    for (const row& r : rows)
        EXPECT_EQ(console_attribute(r.saved, r.code), r.want) << std::hex << r.saved << " " << r.code;
}

TEST(ConsoleColour, TerminalSequences)
{
    struct row {
        uint16_t attribute;
        const char* want;
    };
    const row rows[] = {
        {0x07, "\x1b[0m"},         // the saved colours: the terminal's own
        {0x2F, "\x1b[0;97;42m"},   // bright white on green
        {0x4F, "\x1b[0;97;41m"},   // bright white on red
        {0x0A, "\x1b[0;92m"},      // bright green, the terminal's background
        {0x01, "\x1b[0;34m"},      // blue
        {0x96, "\x1b[0;33;104m"},  // yellow on bright blue
    };
    for (const row& r : rows) {
        char out[16];
        int n = console_colour_sequence(r.attribute, console_default_attribute, out);
        EXPECT_EQ(std::string(out, (size_t)n), r.want) << std::hex << r.attribute;
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ConsoleDestination, LogFileIsAppendedTo)
{
    take_service_name(nullptr, g_service.name);
    char root_template[] = "/tmp/qn_log_XXXXXX";
    ASSERT_NE(mkdtemp(root_template), nullptr);
    std::string root = root_template;
    std::string dirs = root + "/var";
    ASSERT_EQ(mkdir(dirs.c_str(), 0755), 0);
    dirs += "/log";
    ASSERT_EQ(mkdir(dirs.c_str(), 0755), 0);
    std::string log = dirs + "/mervand.quillnest.log";
    {
        std::ofstream earlier(log);
        earlier << "earlier run\n";
    }
    setenv("QUILLNEST_SYSROOT", root.c_str(), 1);

    int saved = dup(1);
    ASSERT_EQ(open_log_file(false), 0);
    EXPECT_TRUE(g_shadow_console.log_file_active);
    EXPECT_EQ(std::string(g_shadow_console.log_path), log);
    console_printf(":: %ls logged\n", u"line");
    print_error(ENOENT, "open(x)");
    dup2(saved, 1);
    close(saved);
    g_shadow_console.log_file_active = false;

    EXPECT_EQ(read_file(log), std::string("earlier run\n:: line logged\nopen(x)\n   ^ERROR: 2, ") +
                                  std::strerror(ENOENT) + "\n");

    // A log directory that is not there: -1 and standard output stays where it was.
    std::string missing = root + "/nowhere";
    setenv("QUILLNEST_SYSROOT", missing.c_str(), 1);
    std::string out = capture(1, [] {
        EXPECT_EQ(open_log_file(false), -1);
        console_printf("still here\n");
    });
    EXPECT_EQ(out, "still here\n");
    EXPECT_FALSE(g_shadow_console.log_file_active);
    unsetenv("QUILLNEST_SYSROOT");
    std::remove(log.c_str());
    rmdir(dirs.c_str());
    rmdir((root + "/var").c_str());
    rmdir(root.c_str());
}

// Everything the terminal behind master shows within a short quiet time,
// without the carriage returns the terminal adds to line breaks.
std::string drain(int master)
{
    std::string out;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0) break;
        char buffer[1024];
        ssize_t n = read(master, buffer, sizeof(buffer));
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    std::string plain;
    for (char c : out)
        if (c != '\r') plain += c;
    return plain;
}

TEST(ConsoleDestination, AttachToAnotherProcessTerminal)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(slave, 1);
        dup2(slave, 2);
        if (write(ready[1], "r", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(slave);
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    int saved[3] = {dup(0), dup(1), dup(2)};
    int attached = attach_console((uint32_t)pid);
    console_printf("hello %ls\n", u"\u00e9");
    bool was_attached = g_shadow_console.attached;
    detach_console();
    bool still_attached = g_shadow_console.attached;
    int after = console_printf("into the void\n");
    for (int stream = 0; stream < 3; ++stream) {
        dup2(saved[stream], stream);
        close(saved[stream]);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    EXPECT_EQ(attached, 0);
    EXPECT_TRUE(was_attached);
    EXPECT_FALSE(still_attached);
    EXPECT_GT(after, 0); // the null device takes it
    EXPECT_EQ(drain(master), "\n\n\x1b[0;97;42m++ mervand.quillnest\x1b[0m\nhello \xc3\xa9\n"
                             "\x1b[0;97;41m-- mervand.quillnest\x1b[0m\n");
    close(master);
}

TEST(ConsoleDestination, AttachRefusesAProcessWithoutTerminal)
{
    int saved[3] = {dup(0), dup(1), dup(2)};
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    int attached = attach_console((uint32_t)getpid());
    int missing = attach_console(0x7FFFFFF0u);
    for (int stream = 0; stream < 3; ++stream) {
        dup2(saved[stream], stream);
        close(saved[stream]);
    }
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(attached, -1);
    EXPECT_EQ(missing, -1);
    EXPECT_FALSE(g_shadow_console.attached);
}

} // namespace
