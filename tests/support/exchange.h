// Test support: one connection slot with its exchange and buffers, driven
// without slot threads. Packets handed to the send channel are taken by the
// test itself (take_packet), which gives the send_done token back.
#pragma once
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "http/exchange.h"
#include "net/receive_loop.h"
#include "net/server.h"
#include "os/clock.h"
#include "os/event.h"

struct test_exchange {
    static constexpr uint64_t half_size = send_buffer_length / 2;

    std::unique_ptr<connection_slot> slot{new connection_slot{}};
    std::unique_ptr<http_exchange> exchange{new http_exchange{}};
    std::vector<char> send_buffer = std::vector<char>(2 * half_size, '#');
    std::vector<char> receive_buffer = std::vector<char>(receive_buffer_length + 1, '\0');
    std::vector<char16_t> path_buffer = std::vector<char16_t>(path_buffer_length, u'\0');
    std::string packet; // the bytes of the last packet taken

    test_exchange()
    {
        slot_setup(slot.get(), 0);
        send_channel* channel = &slot->channel;
        channel->send_base = send_buffer.data();
        channel->slot_buffer = send_buffer.data();
        channel->slot_buffer_size = half_size;
        slot->receive_begin = receive_buffer.data();
        slot->receive_end = receive_buffer.data() + receive_buffer_length;
        slot->path_buffer = path_buffer.data();
        slot->path_capacity = path_buffer_length;
        exchange_setup(exchange.get(), slot.get());
        // A request began just now, with the whole request time ahead of it.
        uint64_t now = clock_monotonic_ns();
        slot->phase_since_ns.store(now);
        slot->request_deadline_ns = now + request_time_limit_ns;
    }
    ~test_exchange()
    {
        exchange_teardown(exchange.get());
        event_close(&slot->channel.send_request);
        event_close(&slot->channel.send_done);
        event_close(&slot->tls.lock);
    }

    request_record* request() { return &exchange->request; }
    response_record* response() { return &exchange->response; }
    send_channel* channel() { return &slot->channel; }

    // Whether a packet was handed over within wait_ms; its bytes in `packet`.
    bool take_packet(int64_t wait_ms = 0)
    {
        send_channel* c = channel();
        if (event_wait(&c->send_request, wait_ms) != event_signalled) return false;
        packet.assign(c->p_send, c->size_send);
        event_signal(&c->send_done);
        return true;
    }

    // Makes the next handed-over packet's send fail as a send with `error` would.
    void fail_sends(int32_t error)
    {
        channel()->send_result = -1;
        channel()->send_error = error;
        channel()->failed.store(true);
    }
};
