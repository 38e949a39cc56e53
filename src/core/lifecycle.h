// Start-up, the configuration-reload thread and the shutdown order of the
// server object.
#pragma once

struct G_SOCKET;

// Builds the slots, reads the settings, reserves the memory region, starts
// every slot's threads (they wait for the listener) and the reload thread.
// Ends the process when the region or a slot thread cannot be had.
G_SOCKET* init(G_SOCKET* server, const char16_t* program_path);
// Stops the reload thread, takes the slots down from 63 to 0, releases the
// TLS context, the settings file path and the memory region.
void shutdown_server(G_SOCKET* server);
