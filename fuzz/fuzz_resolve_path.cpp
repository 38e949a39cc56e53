// libFuzzer target for path resolution. A request is either parsed by the real
// parser from bytes whose NUL is the last readable byte, or its path, query
// and Host are filled in directly (then the path may hold anything but a NUL).
// It is resolved against a fixed configuration of root, host and vdir
// mappings and an extension list, into a path buffer that ends at an
// inaccessible page. On success the finished path must start with one of the
// prefixes the configuration can give and hold no "..", "." or empty segment
// in its URL part; a redirect must have rewritten the path exactly.
//
// Input: byte 0 chooses parsing or direct filling and the buffer capacity,
// byte 1 tunes a small capacity, the rest is the request (direct: the Host
// value, LF, then the target).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "content/mime_types.h"
#include "content/path_resolution.h"
#include "core/settings.h"
#include "core/text.h"
#include "http/request.h"
#include "net/server.h"

namespace {

constexpr uint64_t receive_size = 65536;
constexpr uint64_t path_units = 8192;
constexpr uint64_t canary_units = 64;
constexpr uint64_t control_bytes = 2;

const char16_t settings_text[] =
    u"root=/var/www/html\n"
    u"host=\n{\nintranet|intra|\nfar|/srv/far|\n..|up|\na:8080|port|\n}\n"
    u"vdir=\n{\nmedia|/srv/media|\npics|img|\n..|dotdot|\nx|C:\\x|\n%2e|pct|\n}\n"
    u"ext=block\n{\nexe bat\n}\n";

void require(bool condition)
{
    if (!condition) __builtin_trap();
}

// Readable memory that ends at an inaccessible page.
char* guarded(uint64_t bytes)
{
    const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
    const uint64_t readable = (bytes + page - 1) / page * page;
    void* p = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) abort();
    char* base = (char*)p;
    if (mprotect(base + readable, page, PROT_NONE) != 0) abort();
    return base + readable;
}

// Every prefix the configuration can give: the root or an absolute host
// target, then a relative host target, then a relative vdir target; an
// absolute vdir target alone.
std::vector<std::u16string> possible_prefixes()
{
    std::vector<std::u16string> starts;
    std::u16string root(g_root, g_root_length);
    starts.push_back(root);
    for (uint64_t i = 0; i < g_host_mappings.count; ++i) {
        const mapping_entry& e = g_host_mappings.entries[i];
        starts.push_back(e.relative ? root + u"/" + e.target : std::u16string(e.target));
    }
    std::vector<std::u16string> all = starts;
    for (uint64_t i = 0; i < g_vdir_mappings.count; ++i) {
        const mapping_entry& e = g_vdir_mappings.entries[i];
        if (!e.relative) {
            all.push_back(e.target);
            continue;
        }
        for (const std::u16string& s : starts) all.push_back(s + u"/" + e.target);
    }
    return all;
}

struct fixture {
    char* receive_end;                    // end of the readable request area
    char16_t* path_end_of_memory;         // end of the readable path area
    std::vector<std::u16string> prefixes; // what may stand before the URL part
};

fixture& setup()
{
    static fixture f = [] {
        // Kept for the life of the process: reachable, so never reported.
        static G_SOCKET* server = new G_SOCKET();
        server->cw_connections = slot_count;
        settings_reading reading;
        if (settings_parse_text(server, settings_text, &reading) != 0) abort();
        if (g_root_length == 0 || g_host_mappings.count != 4 || g_vdir_mappings.count != 5) abort();
        fixture made;
        made.receive_end = guarded(receive_size);
        made.path_end_of_memory = (char16_t*)guarded((path_units + canary_units) * sizeof(char16_t));
        made.prefixes = possible_prefixes();
        return made;
    }();
    return f;
}

bool is_dot_dot(const char16_t* begin, const char16_t* end)
{
    return end - begin == 2 && begin[0] == u'.' && begin[1] == u'.';
}

void check_success(const resolved_path& r, const fixture& f)
{
    const char16_t* buffer_end = r.path_buffer + r.capacity;
    require(!r.redirect);
    require(r.prefix_length < r.capacity);
    require(r.url_part == r.path_buffer + r.prefix_length);
    require(r.path_end != nullptr && r.path_end > r.url_part && r.path_end < buffer_end);
    require(r.path_end == r.url_part + r.url_part_length);
    require(*r.path_end == 0);
    require(r.type >= 0 && r.type < mime_type_count);

    const std::u16string prefix(r.path_buffer, r.url_part);
    bool known = false;
    for (const std::u16string& p : f.prefixes) known = known || p == prefix;
    require(known);

    for (const char16_t* p = r.path_buffer; p < r.path_end; ++p) require(*p != 0);

    // URL part: "/" then segments, none empty (but a trailing "/"), none "."
    // or "..", and no backslash left.
    require(r.url_part[0] == u'/');
    const char16_t* segment = r.url_part + 1;
    for (const char16_t* p = segment; p <= r.path_end; ++p) {
        if (p < r.path_end && *p == u'\\') require(false);
        if (p < r.path_end && *p != u'/') continue;
        require(p > segment || p == r.path_end);
        require(!(p - segment == 1 && segment[0] == u'.'));
        require(!is_dot_dot(segment, p));
        segment = p + 1;
    }

    // The whole path, cut at either separator, holds no ".." segment.
    segment = r.path_buffer;
    for (const char16_t* p = r.path_buffer; p <= r.path_end; ++p) {
        if (p < r.path_end && *p != u'/' && *p != u'\\') continue;
        require(!is_dot_dot(segment, p));
        segment = p + 1;
    }

    // Directories are text/html; the filter's verdict stands otherwise.
    if (r.path_end[-1] == u'/') require(r.type == mime_text_html);
}

// The path as it read before resolution, with "/" appended and "?" and the
// query when there is one.
void check_redirect(const request_record& request, const std::string& path_before, const char* query_before,
                    const std::string& query_text)
{
    require(request.path_length == path_before.size() + 1);
    std::string expected = path_before + "/";
    if (query_before) {
        expected += "?" + query_text;
        require(request.query == query_before + 1);
        require(std::strcmp(request.query, query_text.c_str()) == 0);
    } else {
        require(request.query == nullptr);
    }
    require(std::strcmp(request.path, expected.c_str()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < control_bytes || size - control_bytes >= receive_size - 2) return -1;
    fixture& f = setup();
    const uint8_t mode = input[0];
    const uint8_t* bytes = input + control_bytes;
    const uint64_t length = size - control_bytes;

    uint64_t capacity = path_units;
    switch ((mode >> 1) & 3) {
    case 2: capacity = 16 + input[1] % 48; break;
    case 3: capacity = 1 + input[1] % 24; break;
    default: break;
    }

    resolved_path resolved{};
    resolved.path_buffer = f.path_end_of_memory - capacity;
    resolved.capacity = capacity;
    char16_t* canary = resolved.path_buffer - canary_units;
    for (uint64_t i = 0; i < canary_units; ++i) canary[i] = u'#';

    static request_record request;
    reset_request(&request);
    std::string host;
    if ((mode & 1) == 0) {
        // As received: the NUL behind the data is the last readable byte.
        char* data = f.receive_end - length - 1;
        std::memcpy(data, bytes, length);
        data[length] = 0;
        if (!parse_request(&request, data, length, f.receive_end) || !request.accepted) return 0;
    } else {
        // Host value up to the first LF; the target runs to the first NUL.
        uint64_t lf = 0;
        while (lf < length && bytes[lf] != '\n') ++lf;
        if (lf == length) lf = 0;
        host.assign((const char*)bytes, lf);
        host = host.c_str();
        const uint8_t* target = bytes + (lf < length && bytes[lf] == '\n' ? lf + 1 : 0);
        uint64_t target_length = (uint64_t)(bytes + length - target);
        target_length = strnlen((const char*)target, target_length);
        // The target, its NUL and one spare byte end the readable area.
        char* data = f.receive_end - target_length - 2;
        std::memcpy(data, target, target_length);
        data[target_length] = 0;
        data[target_length + 1] = 0;
        request.path = data;
        request.target_length = target_length;
        char* mark = std::strchr(data, '?');
        if (mark) {
            *mark = 0;
            request.query = mark + 1;
            request.query_length = std::strlen(request.query);
        }
        request.path_length = std::strlen(data);
        if (!host.empty()) {
            request.host = host.data();
            request.hostname_length = host.size();
        }
        request.method = method_get;
    }

    const std::string path_before(request.path, request.path_length);
    const char* query_before = request.query;
    const std::string query_text = request.query ? request.query : "";

    const int result = resolve_path(&resolved, &request);
    for (uint64_t i = 0; i < canary_units; ++i) require(canary[i] == u'#');
    if (result == 0) {
        check_success(resolved, f);
    } else {
        require(result == -1);
        if (resolved.redirect) check_redirect(request, path_before, query_before, query_text);
    }
    return 0;
}
