#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/service.h"
#include "support/capture.h"

namespace {

const std::u16string default_name = u"mervand.quillnest";

struct name_case {
    std::string argument;
    std::u16string want;
    bool given;
};

std::vector<name_case> name_cases()
{
    std::vector<name_case> cases = {
        {"-d:name:", u"name", true},
        {"-d:name::", u"name", true},
        {"-d:name:q", u"name", true},
        {"-d:+.8080:i", u"mervand.quillnest.8080", true},
        {"-d:+/x:s", u"mervand.quillnest_x", true},
        {"-d:a\\b/c:", u"a_b_c", true},
        {"-d:abc", u"abc", true}, // never closed: the rest is the name
        {"-d:+", default_name, true},
        {"-d::", default_name, false},
        {"-d:", default_name, false},
        {"-di", default_name, false},
        {"start", default_name, false},
        {"-d:\xc3\xbc" "ber:", u"\u00fc" "ber", true},
        {"-d:\xf0\x9f\x98\x80:", u"\U0001F600", true},
        {"-d:\x80\x80:", default_name, false}, // decodes to nothing
    };
    cases.push_back({"-d:" + std::string(255, 'n') + ":", std::u16string(255, u'n'), true});
    cases.push_back({"-d:" + std::string(256, 'n') + ":", default_name, false});
    cases.push_back({"-d:" + std::string(300, 'n'), default_name, false});
    cases.push_back({"-d:+" + std::string(238, 'n'), default_name + std::u16string(238, u'n'), true});
    cases.push_back({"-d:+" + std::string(239, 'n'), default_name, false});
    // A pair counts as two units: 254 + 2 does not fit.
    cases.push_back({"-d:" + std::string(254, 'n') + "\xf0\x9f\x98\x80", default_name, false});
    cases.push_back({"-d:" + std::string(5000, '\xe2'), default_name, false});
    return cases;
}

TEST(ServiceName, TakenFromTheFirstArgument)
{
    for (const name_case& c : name_cases()) {
        char16_t name[service_name_capacity];
        std::fill(name, name + service_name_capacity, u'#');
        bool given = take_service_name(c.argument.c_str(), name);
        EXPECT_EQ(given, c.given) << c.argument;
        EXPECT_EQ(std::u16string(name), c.want) << c.argument;
    }
}

// Runs the parser with stdout in a pipe; returns the result and the output.
std::pair<int, std::string> run_parser(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    std::string program = "quillnest";
    argv.push_back(program.data());
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    int result = 0;
    std::string out = capture(1, [&] { result = parse_service_commands((int)argv.size() - 1, argv.data()); });
    return {result, out};
}

const std::string help_text =
    ":: service commands ::        :name:  specify service name\n"
    "   s  start                   P  pause\n"
    "   q  stop                    C  continue\n"
    "   r  restart\n"
    "   i  install                 I install interactive service\n"
    "   u  uninstall               h  help  ?\n"
    "   c  configuration reload\n"
    "\n"
    "   -di               install service with default name mervand.quillnest\n"
    "   -d:+.8080:i       install service mervand.quillnest.8080\n"
    "   -dir -uninstall   commands are executed in the order they appear\n"
    "   -d:mervand.quillnest:i  install service mervand.quillnest\n"
    "   -d:mervand.quillnest::  run in foreground using mervand.quillnest.ini\n"
    "\n"
    "   configuration .ini files for each service are stored in the\n"
    "   application directory, and can be reloaded [-reload] without restart\n"
    "\n";

std::string unavailable(const std::string& command)
{
    return "!! mervand.quillnest: service command '" + command + "' is not available in this build\n";
}

TEST(ServiceCommands, CommandLines)
{
    take_service_name(nullptr, g_service.name);
    struct command_case {
        std::vector<std::string> arguments;
        int want;
        std::string output;
    };
    const command_case cases[] = {
        {{}, 0, ""},
        {{"x"}, 0, ""},
        {{"-D"}, 0, ""},
        {{"--d"}, 0, ""},
        {{"-d"}, 0, ""},
        {{"-dx"}, -1, ""},
        {{"-dpt"}, -1, ""}, // letters are case-sensitive: p and t mean nothing
        {{"-d:name:"}, 0, ""},
        {{"-d:name::"}, 0, ""},
        {{"-d::"}, 0, ""},
        {{"-d:abc"}, 0, ""},
        {{"-dh"}, -1, help_text},
        {{"-d?"}, -1, help_text},
        {{"-d", "help"}, -1, help_text},
        {{"-d", "Start"}, -1, ""},
        {{"-d", "-stop"}, -1, ""},
        {{"-d", "enable", "disable", "daemon-reload"}, -1, ""},
        {{"-d", "stop"}, -1, unavailable("stop")},
        {{"-dq"}, -1, unavailable("q")},
        {{"-d:name:q"}, -1, unavailable("q")},
        {{"-d:name:", "start"}, -1, unavailable("start")},
        {{"-dir", "-uninstall"}, -1, unavailable("i") + unavailable("r")},
        {{"-dh", "thaw"}, -1, help_text + unavailable("thaw")},
        {{"-dsqrPCciIu"}, -1,
         unavailable("s") + unavailable("q") + unavailable("r") + unavailable("P") + unavailable("C") +
             unavailable("c") + unavailable("i") + unavailable("I") + unavailable("u")},
    };
    for (const command_case& c : cases) {
        std::string line;
        for (const std::string& a : c.arguments) line += a + " ";
        auto [result, output] = run_parser(c.arguments);
        EXPECT_EQ(result, c.want) << line;
        EXPECT_EQ(output, c.output) << line;
    }
}

TEST(ServiceCommands, EveryWordIsKnown)
{
    take_service_name(nullptr, g_service.name);
    const char* words[] = {"continue", "delete", "freeze", "install", "pause", "reload", "remove",
                           "restart",  "resume", "start",  "stop",    "thaw",  "uninstall"};
    for (const char* word : words) {
        auto [result, output] = run_parser({"-d", word});
        EXPECT_EQ(result, -1) << word;
        EXPECT_EQ(output, unavailable(word)) << word;
    }
}

} // namespace
