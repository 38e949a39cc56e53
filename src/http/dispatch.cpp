// What the receive loop calls whenever bytes have arrived: parse them into
// the slot's request record and settle the per-request response state.
#include "net/server.h"

void dispatch_request(connection_slot* slot, char* data, uint64_t length)
{
    request_record* request = &slot->request;
    response_record* response = &slot->response;
    if (!request->pending_end) reset_request(request);
    parse_request(request, data, length, slot->receive_end);
    response->secure = slot->tls.ssl != nullptr;
    // A content coding chosen for one file never carries over to the next answer.
    response->encoding_br = false;
    response->encoding_gzip = false;
}
