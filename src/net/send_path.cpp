// The sending side of a slot: one packet in flight at a time, handed over
// with the send_request / send_done token while the receiving thread fills
// the other half of the send buffer.
#include "net/send_path.h"

#include "net/server.h"
#include "service/console.h"

// Failures that only mean the client went away: not worth a message.
static bool quiet_send_error(int32_t error)
{
    return error == err_bad_socket || error == err_would_block || error == err_broken_pipe ||
           error == err_conn_aborted || error == err_conn_reset;
}

bool send_packet(response_record* response, const char* data, uint64_t size, request_record* request)
{
    event_wait(&response->send_done, event_infinite);
    if (response->send_result == -1) {
        event_signal(&response->send_done);
        if (!quiet_send_error(response->send_error))
            print_error((uint32_t)response->send_error,
                        "!! send_packet() !! work_w() !! send(so, p_send, size_send, 0)");
        request->keep_alive = false;
        return false;
    }
    response->p_send = data;
    response->size_send = size;
    event_signal(&response->send_request);
    response->slot_buffer = response->send_base + (response->half ? 0 : response->slot_buffer_size);
    response->half = !response->half;
    return true;
}

static void work_w(connection_slot* slot)
{
    response_record* response = &slot->response;
    while (response->send_request.created.load()) {
        if (event_wait(&response->send_request, event_infinite) != event_signalled) break;
        if (!response->send_request.created.load() || !slot->running.load() || stopping.load()) break;
        // The token is held only across this one send.
        response->send_result = tls_send(&slot->tls, response->p_send, response->size_send);
        if (response->send_result == -1) {
            response->send_error = socket_last_error();
            if (response->send_error == 0) response->send_error = slot->tls.tls_status;
        }
        event_signal(&response->send_done);
    }
}

void bootstrap_w(connection_slot* slot)
{
    work_w(slot);
    slot->running.store(false);
    event_signal(&slot->response.send_done);
    event_close(&slot->response.send_done);
    event_signal(&slot->start);
    event_close(&slot->start);
    close_connection(&slot->tls);
}
