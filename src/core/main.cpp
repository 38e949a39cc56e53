// The entry point: the process-wide objects in their order, the service
// commands of the command line, then the server from start-up to shutdown.
#include "content/reader_queue.h"
#include "core/lifecycle.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/server.h"
#include "os/console.h"
#include "service/console.h"
#include "service/service.h"

// Argument 0 as typed, kept for every reading of the settings.
static char16_t program_path[4096];

int main(int argc, char** argv)
{
    // Every thread inherits the blocked signals: only the signal thread takes them.
    console_block_signals();
    reader_queue_init(&g_reader_queue);
    service_setup(argc, argv);
    console_setup();

    if (parse_service_commands(argc, argv) == -1) {
        console_teardown();
        service_teardown();
        reader_queue_release(&g_reader_queue);
        return 0;
    }
    signal_thread_start();

    if (argc > 0 && argv[0]) utf8_to_utf16(program_path, sizeof(program_path) / sizeof(char16_t), argv[0]);

    static G_SOCKET server;
    init(&server, program_path);
    // Only now: a start-up that ends the process early leaves the terminal as it was.
    key_watcher_start();
    server.addr_local = 0;
    server.addr_local_port = server.port;
    run_server(&server);
    shutdown_server(&server);

    console_teardown();
    service_teardown();
    reader_queue_release(&g_reader_queue);
    settings_release();
    return 0;
}
