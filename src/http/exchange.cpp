#include "http/exchange.h"

http_exchange g_exchanges[slot_count];

void exchange_setup(http_exchange* exchange, connection_slot* slot)
{
    exchange->slot = slot;
    slot->exchange = exchange;
    reset_request(&exchange->request);
    response_record* response = &exchange->response;
    response->secure = false;
    response->encoding_br = false;
    response->encoding_gzip = false;
    response->negotiated = false;
    response->resolved = resolved_path{};
    response->resolved.path_buffer = slot->path_buffer;
    response->resolved.capacity = slot->path_capacity;
    response->channel = &slot->channel;
    exchange->upgrade_verdict = 0;
    exchange->upgrade_generation = 0;
    event_create(&exchange->reader_event, false, false);
}

void exchange_teardown(http_exchange* exchange)
{
    event_signal(&exchange->reader_event);
    event_close(&exchange->reader_event);
    reset_request(&exchange->request);
}

bool send_packet(response_record* response, const char* data, uint64_t size, request_record* request)
{
    if (channel_send(response->channel, data, size)) return true;
    request->keep_alive = false;
    return false;
}
