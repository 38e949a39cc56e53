// The "-d" command line: service command letters, an optional ":name:" group
// and further command words. The commands that need the service manager are
// named and skipped in this build; the help text is printed.
#include <cstring>

#include "core/text.h"
#include "service/console.h"
#include "service/service.h"

namespace {

enum service_command : int {
    command_none,      // accepted, nothing to do
    command_start,
    command_stop,
    command_restart,   // stop, then start at once
    command_pause,
    command_continue,
    command_reload,    // parameter change: re-read the settings
    command_install,
    command_install_interactive,
    command_uninstall,
    command_help,
};

constexpr uint64_t command_word_count = 17;

// Sorted byte-wise for find_sorted; word_commands runs parallel to it.
constexpr const char* command_words[command_word_count] = {
    "continue", "daemon-reload", "delete", "disable", "enable", "freeze", "help",   "install", "pause",
    "reload",   "remove",        "restart", "resume", "start",  "stop",   "thaw", "uninstall",
};

constexpr service_command word_commands[command_word_count] = {
    command_continue, command_none,    command_uninstall, command_none,     command_none,  command_pause,
    command_help,     command_install, command_pause,     command_reload,   command_uninstall,
    command_restart,  command_continue, command_start,    command_stop,     command_continue,
    command_uninstall,
};

constexpr bool words_sorted()
{
    for (uint64_t i = 1; i < command_word_count; ++i) {
        if (compare_units(command_words[i - 1], command_words[i]) >= 0) return false;
    }
    return true;
}
static_assert(words_sorted(), "the command words must stay sorted for the bisection");

// The help text names the default identifier, whatever the service is called.
constexpr const char16_t* help_identifier = u"mervand.quillnest";

constexpr const char* help_text =
    ":: service commands ::        :name:  specify service name\n"
    "   s  start                   P  pause\n"
    "   q  stop                    C  continue\n"
    "   r  restart\n"
    "   i  install                 I install interactive service\n"
    "   u  uninstall               h  help  ?\n"
    "   c  configuration reload\n"
    "\n"
    "   -di               install service with default name %ls\n"
    "   -d:+.8080:i       install service %ls.8080\n"
    "   -dir -uninstall   commands are executed in the order they appear\n"
    "   -d:%ls:i  install service %ls\n"
    "   -d:%ls::  run in foreground using %ls.ini\n"
    "\n"
    "   configuration .ini files for each service are stored in the\n"
    "   application directory, and can be reloaded [-reload] without restart\n"
    "\n";

service_command letter_command(char letter)
{
    switch (letter) {
    case 's': return command_start;
    case 'q': return command_stop;
    case 'r': return command_restart;
    case 'P': return command_pause;
    case 'C': return command_continue;
    case 'c': return command_reload;
    case 'i': return command_install;
    case 'I': return command_install_interactive;
    case 'u': return command_uninstall;
    case 'h':
    case '?': return command_help;
    default: return command_none;
    }
}

// Runs one command; as_written names it in the message of a command this
// build cannot carry out.
void run_command(service_command command, const char* as_written)
{
    switch (command) {
    case command_none: return;
    case command_help:
        console_printf(help_text, help_identifier, help_identifier, help_identifier, help_identifier,
                       help_identifier, help_identifier);
        return;
    default:
        console_printf("!! %ls: service command '%s' is not available in this build\n", g_service.name,
                       as_written);
        return;
    }
}

} // namespace

int parse_service_commands(int argc, char** argv)
{
    if (argc < 2 || !argv || !argv[1] || std::strncmp(argv[1], "-d", 2) != 0) return 0;
    if (argc == 2 && argv[1][2] == 0) return 0;

    int pending = -1;
    for (const char* p = argv[1] + 2; *p;) {
        if (*p == ':') {
            // A name group runs to the next ':' or the end; the one right
            // after "-d" was taken as the service name at start-up.
            const char* close = std::strchr(p + 1, ':');
            p = close ? close + 1 : p + std::strlen(p);
            pending = 0;
            continue;
        }
        char letter[2] = {*p, 0};
        run_command(letter_command(*p), letter);
        pending = -1;
        ++p;
    }
    if (argc == 2) return pending;

    for (int i = 2; i < argc; ++i) {
        if (!argv[i]) continue;
        int64_t index = find_sorted(command_words, command_word_count, argv[i]);
        if (index >= 0) run_command(word_commands[index], argv[i]);
    }
    return -1;
}
