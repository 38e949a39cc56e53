// The connection's TLS state and the server TLS context. Every read and write
// of a connection goes through tls_recv and tls_send, which work in the clear
// while the connection has no TLS object.
#pragma once
#include <atomic>
#include <cstdint>

#include "os/event.h"
#include "os/socket.h"

struct tls_state {
    void* ssl;                       // the connection's TLS object, null for plain HTTP
    std::atomic<int32_t> references; // holders of ssl
    event_t lock;                    // auto-reset, created signalled: binary lock
    void* rbio;                      // ciphertext from the network
    void* wbio;                      // ciphertext for the network
    socket_t so_accepted;            // the socket as accepted, kept for messages
    std::atomic<socket_t> so;        // the live socket; invalid_socket once closed
    std::atomic<bool> abortive_close; // reset the connection when it is closed
    std::atomic<uint32_t> pinned;    // other threads shutting `so` down: close waits for them
    std::atomic<int32_t> so_error;   // socket error of the last failed receive
    std::atomic<int32_t> tls_status; // outcome of the last TLS step
    std::atomic<uint64_t> bytes_sent; // bytes this connection has sent so far (sending thread writes)
    uint64_t send_deadline_ns;       // the packet being sent must have left by then (sending thread)
    char* p_recv;                    // the slot's receive buffer
    uint64_t p_recv_size;            // its length
};

// File names of the certificate chain and the private key (UTF-16, NUL-terminated).
constexpr uint64_t tls_name_capacity = 65536;
struct tls_names {
    char16_t cer[tls_name_capacity];
    char16_t key[tls_name_capacity];
};
extern tls_names g_tls_t;

extern std::atomic<bool> https_ready; // a matching certificate and key are loaded
extern std::atomic<bool> cert_valid;  // that certificate had not expired when loaded

// Server context: created by init, released at shutdown.
void tls_context_create();
void tls_context_release();
// Called by the settings loader.
int tls_set_groups(const char* bits);
int tls_load_cert_key();
void tls_set_options(int no_weak_ciphers);

// Whether the loaded certificate is valid and names host (length bytes, no
// NUL needed); false without one. Any thread.
bool tls_certificate_covers(const char* host, uint64_t length);

// Receives up to size bytes; > 0 bytes delivered, <= 0 failure (so_error and
// tls_status tell why).
int64_t tls_recv(tls_state* tls, char* buffer, uint64_t size);
// Sends size bytes before send_deadline_ns; returns size when all left,
// otherwise <= 0. Sending thread.
int64_t tls_send(tls_state* tls, const char* data, uint64_t size);
