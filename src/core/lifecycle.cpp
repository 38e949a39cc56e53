#include "core/lifecycle.h"

#include <cstdlib>
#include <cstring>

#include "assets/builtin_assets.h"
#include "assets/embedded.h"
#include "core/reload_handshake.h"
#include "http/exchange.h"
#include "net/server.h"
#include "os/console.h"
#include "os/process.h"
#include "service/service.h"

// The reload thread: each reload request re-reads the settings inside the
// reload handshake, so that no slot resolves a path while they are replaced.
static void reload_config(void* parameter)
{
    G_SOCKET* server = static_cast<G_SOCKET*>(parameter);
    for (;;) {
        int rc = event_wait(&g_service.reload_request, event_infinite);
        if (!server->configured.load() || rc == event_failed) return;
        reload_begin();
        server->config(server->program_path);
        reload_end();
    }
}

G_SOCKET* init(G_SOCKET* server, const char16_t* program_path)
{
    std::memset(&server->reload_thread, 0, sizeof(server->reload_thread));
    std::memset(&server->region, 0, sizeof(server->region));
    server->region.unit_size = large_page_minimum(&server->region);
    g_page_size = system_page_size();

    server->cw_connections = slot_count;
    server->path_buffer_length = path_buffer_length;
    server->packet_length_rw[0] = receive_buffer_length;
    server->packet_length_rw[1] = send_buffer_length;
    for (uint32_t i = 0; i < slot_count; ++i) slot_setup(&server->slots[i], i);

    server->configured.store(false);
    std::free(server->settings_path);
    server->settings_path = nullptr;
    server->settings_directory_length = 0;

    tls_context_create();
    server->config(program_path);
    embedded_files_init();
    builtin_assets_init();
    server->configured.store(true);
    set_process_locale();

    slots_reserve(server);
    for (uint32_t i = 0; i < server->cw_connections; ++i) exchange_setup(&g_exchanges[i], &server->slots[i]);
    slots_start(server);

    server->reload_thread.stack_reservation = thread_stack_reservation;
    // Without the reload thread the server still runs; it only cannot reload.
    thread_create(&server->reload_thread, reload_config, server);
    return server;
}

void shutdown_server(G_SOCKET* server)
{
    server->configured.store(false);
    event_signal(&g_service.reload_request);
    thread_join(&server->reload_thread, event_infinite);
    std::memset(&server->reload_thread, 0, sizeof(server->reload_thread));

    bool ended = true;
    for (int i = slot_count - 1; i >= 0; --i) {
        if (slot_teardown(&server->slots[i])) exchange_teardown(&g_exchanges[i]);
        else ended = false;
    }

    tls_context_release();
    std::free(server->settings_path);
    server->settings_path = nullptr;
    server->settings_directory_length = 0;
    // A slot thread that did not end may still touch its buffers: the region
    // then stays until the process exits.
    if (ended) region_reset(&server->region);
}
