#include "os/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

int socket_last_error() { return errno; }
void socket_clear_error() { errno = 0; }
void socket_set_error(int error) { errno = error; }

socket_t socket_tcp() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

static int set_int(socket_t so, int level, int name, int value)
{
    return setsockopt(so, level, name, &value, sizeof(value));
}

// The results are combined and ignored by the callers: an option that cannot
// be set never stops the server.
int socket_set_listen_options(socket_t so, int receive_buffer, int send_buffer, int fastopen_queue)
{
    int rc = set_int(so, SOL_SOCKET, SO_RCVBUF, receive_buffer);
    rc |= set_int(so, SOL_SOCKET, SO_SNDBUF, send_buffer);
    rc |= set_int(so, IPPROTO_TCP, TCP_FASTOPEN, fastopen_queue);
    rc |= set_int(so, SOL_SOCKET, SO_REUSEADDR, 1);
    return rc;
}

int socket_set_keepalive(socket_t so, int idle_s, int interval_s, int count)
{
    int rc = set_int(so, SOL_SOCKET, SO_KEEPALIVE, 1);
    rc |= set_int(so, IPPROTO_TCP, TCP_KEEPIDLE, idle_s);
    rc |= set_int(so, IPPROTO_TCP, TCP_KEEPINTVL, interval_s);
    rc |= set_int(so, IPPROTO_TCP, TCP_KEEPCNT, count);
    return rc;
}

int socket_set_recv_timeout(socket_t so, uint32_t ms)
{
    timeval tv{(time_t)(ms / 1000), (suseconds_t)((ms % 1000) * 1000)};
    return setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

int socket_set_linger_reset(socket_t so)
{
    linger l{1, 0};
    return setsockopt(so, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

int socket_bind(socket_t so, uint32_t address, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    return bind(so, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

int socket_listen(socket_t so, int backlog) { return listen(so, backlog); }

socket_t socket_accept(socket_t so, void* peer, uint32_t* peer_length)
{
    socklen_t length = peer_length ? *peer_length : 0;
    socket_t s = accept4(so, static_cast<sockaddr*>(peer), peer ? &length : nullptr, SOCK_CLOEXEC);
    if (peer_length) *peer_length = length;
    return s;
}

bool socket_accept_retry(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
        return true;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM: {
        // Descriptors come back as connections close; giving up here would
        // end every slot's sending for good.
        timespec pause{0, 10000000L};
        nanosleep(&pause, nullptr);
        return true;
    }
    default:
        return false;
    }
}

// A receive that hits SO_RCVTIMEO fails with EAGAIN; callers see that as the
// receive time-out.
static int64_t recv_result(ssize_t n)
{
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) errno = ETIMEDOUT;
    return n;
}

int64_t socket_recv(socket_t so, char* buffer, uint64_t size)
{
    return recv_result(recv(so, buffer, size, 0));
}

int64_t socket_peek_all(socket_t so, char* buffer, uint64_t size)
{
    return recv_result(recv(so, buffer, size, MSG_PEEK | MSG_WAITALL));
}

int64_t socket_send_all(socket_t so, const char* data, uint64_t size)
{
    uint64_t sent = 0;
    // A short send is resumed: dropping the rest would corrupt the response.
    while (sent < size) {
        ssize_t n = send(so, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n;
        sent += (uint64_t)n;
    }
    return (int64_t)size;
}

int64_t socket_send_some(socket_t so, const char* data, uint64_t size)
{
    ssize_t n;
    do {
        n = send(so, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EWOULDBLOCK) errno = EAGAIN;
    return n;
}

int socket_wait_writable(socket_t so, uint32_t timeout_ms)
{
    pollfd p = {so, POLLOUT, 0};
    int n;
    do {
        n = poll(&p, 1, (int)timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    return n == 0 ? 0 : 1;
}

int64_t socket_accept_backlog(socket_t so)
{
    // For a listening socket the kernel reports its accept queue's length in
    // the unacknowledged-segments field.
    tcp_info info{};
    socklen_t length = sizeof(info);
    if (getsockopt(so, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return -1;
    if (info.tcpi_state != TCP_LISTEN) return -1;
    return (int64_t)info.tcpi_unacked;
}

void socket_shutdown(socket_t so) { shutdown(so, SHUT_RDWR); }

void socket_shutdown_receive(socket_t so) { shutdown(so, SHUT_RD); }

void socket_close(socket_t so) { close(so); }
