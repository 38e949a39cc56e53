// Request dispatch: what happens to a parsed request, and the HTTPS upgrade
// of plain-HTTP browsers. dispatch_request itself is declared with the
// receive loop (net/receive_loop.h), which calls it.
#pragma once
#include <cstdint>

struct http_exchange;

// The 64-bit hash of a host name (length bytes) under which a slot caches its
// upgrade verdict; the lowest bit is replaced by the verdict.
uint64_t upgrade_host_hash(const char* host, uint64_t length);

// True when the request is to be redirected to HTTPS; the redirect URL has
// then been written, NUL-terminated, at the start of buffer (the slot's
// receive buffer). Receiving thread of the slot only.
bool check_https_upgrade(http_exchange* exchange, char* buffer);
