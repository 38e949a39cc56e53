// The fixed answers. Each is built contiguously in the slot buffer, header
// block first, and leaves in one packet; only a POST body that did not fit into
// the receive buffer is relayed piece by piece.
#include "http/canned_pages.h"

#include <cstring>

#include "assets/builtin_assets.h"
#include "assets/embedded.h"
#include "content/mime_types.h"
#include "content/path_resolution.h"
#include "http/request.h"
#include "http/response.h"
#include "http/status_table.h"
#include "http/exchange.h"
#include "net/receive_loop.h"

namespace {

// Opens every HTML error page and the greeting page; ends inside the message
// cell, so the message follows it directly.
constexpr char page_head[] =
    "<html><head><title>quillnest</title><style>"
    "A{color:#202020; text-decoration:none; border-bottom:1px solid transparent;} "
    "A:hover{border-bottom-color:Violet;} "
    "A:active{color:DarkViolet; border-bottom-color:DarkViolet;} "
    "BODY{font-family:Helvetica, Arial, sans-serif; font-size:20pt;} "
    "TABLE{font-family:Helvetica, Arial, sans-serif; font-size:20pt;} "
    "BUTTON{ color:#202020; font-size:12pt; outline:none; -webkit-user-select:none;} "
    ".qn_center{text-align:center;} "
    ".qn_quillnest{display:inline-block; -webkit-transition:all 0.5s ease-out; "
    "transition:all 0.5s ease-out;} "
    ".qn_nest{display:inline-block; position:relative; top:4px;} "
    ".qn_err{color:DarkViolet;} "
    "@media (prefers-color-scheme: dark){body{background-color:#292a2f;color:#dfdfe0;} "
    "a{color:#dfdfe0;} a:hover{color:white;} a:active{color:Violet;} .qn_err{color:Violet;}}"
    "</style>"
    "<script type=\"text/javascript\">"
    "window.is_mobile = (window.navigator.userAgent.toUpperCase().indexOf(\"MOBILE\") != -1); "
    "function qn_addRule(_selector, _style, _index){ "
    "var style_sheet = document.styleSheets[document.styleSheets.length - 1]; "
    "if (style_sheet.insertRule) style_sheet.insertRule(\"\".concat(_selector, \" { \", _style, "
    "\" } \"), _index); "
    "else if (style_sheet.addRule) style_sheet.addRule(_selector, _style, _index); }; "
    "if (is_mobile) qn_addRule(\"TABLE\", \"margin:auto;\", 0);"
    "</script>"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0, minimum-scale=1.0, "
    "maximum-scale=1.0, user-scalable=0\" /></head><body><table><tr><td colspan=\"4\">"
    "<b id=\"g\" class=\"qn_quillnest\">quill<span class=\"qn_nest\">nest</span></b> web server"
    "</td></tr><tr><td colspan=\"4\">&nbsp;</td></tr><tr class=\"qn_center\">"
    "<td colspan=\"4\" class=\"qn_err\">";

constexpr char page_tail[] =
    "</td></tr><tr><td colspan=\"4\">&nbsp;</td></tr><tr class=\"qn_center\">"
    "<td><button onclick=\"history.back();\">Back</button></td>"
    "<td><button onclick=\"location.reload(true);\">Refresh</button></td>"
    "<td><button onclick=\"location.assign('../');\">Up</button></td>"
    "<td><button onclick=\"location.assign('/');\">Home</button></td></tr></table>"
    "<script type=\"text/javascript\">"
    "function light(){ g.style.color = \"DarkViolet\"; setTimeout(dark, 500); }; "
    "function dark(){ g.style.color = \"black\"; setTimeout(light, 10000); }; "
    "window.onload = function(){ window.el_g = document.getElementById(\"g\"); "
    "setTimeout(light, 2000); }"
    "</script></body></html>";
static_assert(sizeof(page_tail) - 1 == 624, "the page tail has 624 bytes");

constexpr char short_banner[] = "quillnest web server\r\n\r\n";
constexpr char greeting[] = "Enjoy the nest!";

constexpr char redirect_open[] = "<html><head><title>302 Found</title></head><body><a href=\"";
constexpr char redirect_close[] = "\"><h1>Moved here</h1></a></body></html>";

constexpr uint64_t page_head_length = sizeof(page_head) - 1;
constexpr uint64_t page_tail_length = sizeof(page_tail) - 1;
constexpr uint64_t greeting_page_length = page_head_length + (sizeof(greeting) - 1) + page_tail_length;

// The redirect's header block is built within this many bytes.
constexpr uint64_t redirect_header_capacity = 65536;

constexpr char builtin_prefix[] = "/quillnest/";
constexpr uint64_t builtin_prefix_length = sizeof(builtin_prefix) - 1;

// Charset names by an asset's charset index; index 0 names none.
constexpr const char* asset_charsets[] = {nullptr, "utf-8", "utf-16", "utf-16be"};
constexpr int32_t asset_charset_count = sizeof(asset_charsets) / sizeof(asset_charsets[0]);

// Appends count bytes at *p when they fit before end; false otherwise (the
// room before end may then be zero-filled).
bool append(char** p, const char* end, const void* data, uint64_t count)
{
    if (*p > end || copy_bounded(*p, (uint64_t)(end - *p), data, count) != 0) return false;
    *p += count;
    return true;
}

template <uint64_t n>
bool append(char** p, const char* end, const char (&text)[n])
{
    return append(p, end, text, n - 1);
}

// A short error answer in the slot buffer, with keep-alive off; the result of send_packet.
bool send_short_error(response_record* response, request_record* request, int32_t status)
{
    request->keep_alive = false;
    uint64_t built = send_error_page(response, response->channel->slot_buffer, response->channel->slot_buffer_size,
                                     status, false, request->method == method_head, true);
    if (built == 0) return false;
    return send_packet(response, response->channel->slot_buffer, built, request);
}

// Receives the part of a POST body that did not fit into the receive buffer
// and sends each piece on at once; false when a send failed.
bool relay_body_rest(http_exchange* exchange)
{
    response_record* response = &exchange->response;
    request_record* request = &exchange->request;
    uint64_t rest = (uint64_t)request->content_length - request->body_received;
    while (rest != 0) {
        char* piece = response->channel->slot_buffer;
        uint64_t room = response->channel->slot_buffer_size;
        int64_t got = connection_receive(exchange->slot, piece, rest < room ? rest : room);
        if (got <= 0) {
            // The body cannot be completed; its rest must not be read as a request.
            request->keep_alive = false;
            return true;
        }
        if ((uint64_t)got > rest) got = (int64_t)rest;
        if (!send_packet(response, piece, (uint64_t)got, request)) return false;
        rest -= (uint64_t)got;
    }
    return true;
}

} // namespace

uint64_t send_error_page(response_record* response, char* buffer, uint64_t capacity, int32_t status,
                         bool keep_alive, bool header_only, bool short_form)
{
    if (buffer == nullptr || status < 0 || status >= status_count) return 0;
    const char* line = status_lines[status];
    uint64_t line_length = std::strlen(line);
    uint64_t body_length = short_form ? (sizeof(short_banner) - 1) + line_length + 2
                                      : page_head_length + line_length + page_tail_length;
    int32_t type = short_form ? mime_text_plain : mime_text_html;
    uint64_t header = build_response_headers(response, buffer, capacity, status, type, body_length,
                                             keep_alive, true, nullptr, nullptr, nullptr, nullptr,
                                             nullptr);
    if (header == 0) return 0;
    if (header_only) return header;
    if (body_length > capacity - header) return 0;

    char* p = buffer + header;
    const char* end = buffer + capacity;
    if (short_form) {
        append(&p, end, short_banner);
        append(&p, end, line, line_length);
        append(&p, end, "\r\n");
    } else {
        append(&p, end, page_head);
        append(&p, end, line, line_length);
        append(&p, end, page_tail);
    }
    return header + body_length;
}

bool send_redirect_page(response_record* response, request_record* request, const char* url)
{
    char* buffer = response->channel->slot_buffer;
    uint64_t capacity = response->channel->slot_buffer_size;
    uint64_t url_length = url ? std::strlen(url) : 0;
    uint64_t body_length = (sizeof(redirect_open) - 1) + url_length + (sizeof(redirect_close) - 1);
    uint64_t header_capacity = capacity < redirect_header_capacity ? capacity : redirect_header_capacity;
    uint64_t header = 0;
    if (url != nullptr)
        header = build_response_headers(response, buffer, header_capacity, status_found,
                                        mime_text_html, body_length, request->keep_alive, true,
                                        nullptr, nullptr, nullptr, nullptr, url);
    // A redirect that cannot be built leaves the client nothing to wait for.
    if (header == 0 || (request->method != method_head && body_length > capacity - header)) {
        request->keep_alive = false;
        return false;
    }
    uint64_t size = header;
    if (request->method != method_head) {
        char* p = buffer + header;
        const char* end = buffer + capacity;
        append(&p, end, redirect_open);
        append(&p, end, url, url_length);
        append(&p, end, redirect_close);
        size += body_length;
    }
    return send_packet(response, buffer, size, request);
}

bool serve_asset(response_record* response, request_record* request, const embedded_file* asset)
{
    bool not_modified = request->if_modified_since != nullptr &&
                        std::strncmp(request->if_modified_since, asset->modified_lower,
                                     http_date_capacity) == 0;
    const char* charset = nullptr;
    if (asset->charset_index > 0 && asset->charset_index < asset_charset_count)
        charset = asset_charsets[asset->charset_index];

    char* buffer = response->channel->slot_buffer;
    uint64_t capacity = response->channel->slot_buffer_size;
    uint64_t header = build_response_headers(response, buffer, capacity,
                                             not_modified ? status_not_modified : status_ok,
                                             asset->mime_index, asset->length, request->keep_alive,
                                             false, nullptr, nullptr, asset, charset, nullptr);
    if (header == 0) {
        request->keep_alive = false;
        return false;
    }
    if (not_modified || request->method == method_head || asset->length == 0)
        return send_packet(response, buffer, header, request);

    char* p = buffer + header;
    if (append(&p, buffer + capacity, asset->data, asset->length))
        return send_packet(response, buffer, header + asset->length, request);
    // The embedded bytes never change: an asset larger than the slot buffer
    // goes out straight from where it is stored, behind its header block.
    if (!send_packet(response, buffer, header, request)) return false;
    return send_packet(response, reinterpret_cast<const char*>(asset->data), asset->length, request);
}

bool serve_builtin(http_exchange* exchange)
{
    response_record* response = &exchange->response;
    request_record* request = &exchange->request;
    const connection_slot* slot = exchange->slot;
    const char* path = request->path;
    if (path != nullptr && std::strncmp(path, builtin_prefix, builtin_prefix_length) == 0 &&
        path[builtin_prefix_length] != 0) {
        const embedded_file* asset = find_builtin_asset(path + builtin_prefix_length);
        if (asset != nullptr) {
            // A POST body left on the connection must not be read as the next request.
            if (request->body_received != 0) request->keep_alive = false;
            return serve_asset(response, request, asset);
        }
    }

    int32_t type;
    uint64_t length;
    if (request->method == method_post) {
        // No length, or one that names no body, leaves nothing to echo.
        if (request->content_length <= 0) return send_short_error(response, request, status_length_required);
        type = mime_text_plain;
        length = (uint64_t)request->content_length;
    } else if (request->method == method_get || request->method == method_head) {
        type = mime_text_html;
        length = greeting_page_length;
    } else {
        return send_short_error(response, request, status_method_not_allowed);
    }

    char* buffer = response->channel->slot_buffer;
    uint64_t capacity = response->channel->slot_buffer_size;
    if (buffer == nullptr || capacity == 0) {
        request->keep_alive = false;
        return false;
    }
    uint64_t header = 0;
    if (request->version != version_none) {
        header = build_response_headers(response, buffer, capacity, status_ok, type, length,
                                        request->keep_alive, false, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
        if (header == 0) {
            request->keep_alive = false;
            return false;
        }
    }
    if (request->method == method_head) return send_packet(response, buffer, header, request);

    char* p = buffer + header;
    const char* end = buffer + capacity - 1; // one byte stays for the NUL behind the body
    bool fits;
    if (request->method == method_post) {
        uint64_t present = request->body_received != 0 ? request->body_received : length;
        // The parser vouches for the body; the receive buffer's end still bounds the copy.
        const char* body = request->body_start;
        fits = body != nullptr && body >= slot->receive_begin && body <= slot->receive_end &&
               present <= (uint64_t)(slot->receive_end - body) && append(&p, end, body, present);
    } else {
        fits = append(&p, end, page_head) && append(&p, end, greeting) && append(&p, end, page_tail);
    }
    if (!fits) return send_short_error(response, request, status_internal_error);
    *p = '\0';
    if (!send_packet(response, buffer, (uint64_t)(p - buffer), request)) return false;

    if (request->method == method_post && request->body_received != 0)
        return relay_body_rest(exchange);
    return true;
}
