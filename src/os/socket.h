// TCP sockets. Errors are the system's error numbers; socket_last_error gives
// the calling thread's last one.
#pragma once
#include <cstdint>

typedef int socket_t;
constexpr socket_t invalid_socket = -1;

// Error numbers the connection code compares against.
constexpr int err_interrupted = 4;    // a call was interrupted: retry
constexpr int err_bad_socket = 9;     // quiet send failure
constexpr int err_would_block = 11;   // quiet send failure
constexpr int err_broken_pipe = 32;   // quiet send failure
constexpr int err_invalid = 22;       // accept on a listener that was shut down
constexpr int err_conn_aborted = 103; // the connection was aborted
constexpr int err_conn_reset = 104;   // the peer reset the connection
constexpr int err_timed_out = 110;    // a receive time-out expired

int socket_last_error();
void socket_clear_error();
// Sets the calling thread's last error, for callers that fail on their own account.
void socket_set_error(int error);

// A TCP socket over IPv4; invalid_socket on failure.
socket_t socket_tcp();
// Listening socket options: buffer sizes, TCP fast open queue, address reuse.
int socket_set_listen_options(socket_t so, int receive_buffer, int send_buffer, int fastopen_queue);
// Accepted socket options: TCP keep-alive with idle time, interval and count.
int socket_set_keepalive(socket_t so, int idle_s, int interval_s, int count);
int socket_set_recv_timeout(socket_t so, uint32_t ms);
// Makes the next close reset the connection.
int socket_set_linger_reset(socket_t so);
// Binds to address (host byte order IPv4, 0 for any) and port.
int socket_bind(socket_t so, uint32_t address, uint16_t port);
int socket_listen(socket_t so, int backlog);
// Accepts a connection; the peer address goes to peer (16 bytes) when given.
socket_t socket_accept(socket_t so, void* peer, uint32_t* peer_length);
// True when a failed accept is to be retried: the client gave up before it
// was taken, a network error was passed on from the new connection, or the
// process ran short of descriptors or memory for a moment (then after a pause).
bool socket_accept_retry(int error);
// Receives; a receive time-out fails with err_timed_out.
int64_t socket_recv(socket_t so, char* buffer, uint64_t size);
// Peeks at exactly size bytes, waiting until they are there or the time-out.
int64_t socket_peek_all(socket_t so, char* buffer, uint64_t size);
// Sends everything, resuming short sends; size, or <= 0 when a send failed.
int64_t socket_send_all(socket_t so, const char* data, uint64_t size);
// Sends what the socket takes now without waiting: the bytes sent (> 0), or
// -1 with err_would_block when nothing fits, -1 with the error otherwise.
int64_t socket_send_some(socket_t so, const char* data, uint64_t size);
// Waits at most timeout_ms until a send can make progress (or would fail at
// once, as after a shutdown): 1, 0 on time-out, -1 on failure.
int socket_wait_writable(socket_t so, uint32_t timeout_ms);
// Connections the kernel has completed on a listening socket that nobody has
// accepted yet; -1 when it cannot tell.
int64_t socket_accept_backlog(socket_t so);
// Ends both directions: a thread blocked in a receive or a send on the socket
// returns, and the peer sees the end of the data.
void socket_shutdown(socket_t so);
// Ends the receiving direction only: a blocked receive returns, nothing is sent
// to the peer (so that a later close with linger reset sends a reset alone).
void socket_shutdown_receive(socket_t so);
void socket_close(socket_t so);
