#include "core/settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/reload_handshake.h"
#include "core/settings_file.h"
#include "core/text.h"
#include "net/server.h"
#include "net/tls_state.h"
#include "os/clock.h"
#include "os/file.h"
#include "service/console.h"

// Process-wide settings, in the order the program builds them.
mapping_list g_host_mappings;        // host block: host name -> directory
mapping_list g_vdir_mappings;        // vdir block: first URL segment -> directory
char16_t g_root[root_capacity];      // document root, NUL-terminated
uint64_t g_root_length;              // units before the NUL; 0 until a root is set
extension_filter g_ext_filter;       // ext / ext_no_ext

namespace {

// The extra header lines of one reading; replaced whole, never changed in place.
struct header_text {
    uint64_t length;                    // bytes before the NUL
    char text[extra_headers_limit];     // lines ending in CR LF, NUL-terminated
};

// Readers announce themselves in the counter of the epoch they entered; a
// replacement flips the epoch and frees the old text once the counter of the
// previous epoch has drained. Readers arriving after the flip count in the
// other epoch, so a steady stream of header builds cannot hold a reload back.
std::atomic<header_text*> g_extra_headers{nullptr}; // current lines, null when none
std::atomic<uint32_t> g_header_epoch{0};            // 0 or 1
std::atomic<uint32_t> g_header_readers[2];          // readers inside each epoch

} // namespace

std::atomic<bool> g_list_directories{false};        // published list_directories
std::atomic<bool> g_view_md{false};                 // published view_md
std::atomic<bool> g_min_gz{false};                  // published min_gz
std::atomic<bool> g_upgrade_https_in_effect{false}; // upgrade_https and cert_valid
std::atomic<bool> g_upgrade_hsts_in_effect{false};  // upgrade_hsts and cert_valid

namespace {

// The 17 keys, sorted unit-wise for find_sorted16; key_index follows the order.
constexpr const char16_t* settings_keys[] = {
    u"ext",
    u"ext_no_ext",
    u"headers",
    u"host",
    u"list_directories",
    u"min_gz",
    u"port",
    u"root",
    u"tls_cer",
    u"tls_key",
    u"tls_min_bits_ec",
    u"tls_no_weak_ciphers",
    u"upgrade_hsts",
    u"upgrade_https",
    u"user",
    u"vdir",
    u"view_md",
};
enum key_index : int64_t {
    key_ext,
    key_ext_no_ext,
    key_headers,
    key_host,
    key_list_directories,
    key_min_gz,
    key_port,
    key_root,
    key_tls_cer,
    key_tls_key,
    key_tls_min_bits_ec,
    key_tls_no_weak_ciphers,
    key_upgrade_hsts,
    key_upgrade_https,
    key_user,
    key_vdir,
    key_view_md,
    key_count,
};
static_assert(sizeof(settings_keys) / sizeof(settings_keys[0]) == key_count);

constexpr bool keys_sorted()
{
    for (int64_t i = 1; i < key_count; ++i) {
        if (compare_units(settings_keys[i - 1], settings_keys[i]) >= 0) return false;
    }
    return true;
}
static_assert(keys_sorted(), "the key table is searched by bisection and must stay sorted");

bool is_line_end(char16_t c) { return c == u'\r' || c == u'\n'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

uint64_t length16(const char16_t* s)
{
    uint64_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Position of c in text[from, end), or end.
uint64_t find16(const char16_t* text, uint64_t from, uint64_t end, char16_t c)
{
    while (from < end && text[from] != c) ++from;
    return from;
}

// Boolean values: true when the first character is "1", "+", "t" or "y".
bool truth(const char16_t* value)
{
    return value[0] == u'1' || value[0] == u'+' || value[0] == u't' || value[0] == u'y';
}

// The mode word of ext and ext_no_ext: true means "block".
bool blocks(const char16_t* value)
{
    return value[0] == 0 || value[0] == u'0' || value[0] == u'n' || compare_units(value, u"block") == 0;
}

// Decimal number as the C library reads it: white space, sign, digits up to
// the first other character. Saturates far beyond any port.
int64_t decimal(const char16_t* s)
{
    while (*s == u' ' || (*s >= u'\t' && *s <= u'\r')) ++s;
    bool negative = *s == u'-';
    if (*s == u'-' || *s == u'+') ++s;
    int64_t value = 0;
    for (; *s >= u'0' && *s <= u'9'; ++s) {
        if (value < 1000000000) value = value * 10 + (*s - u'0');
    }
    return negative ? -value : value;
}

void free_mappings(mapping_list* list)
{
    std::free(list->entries);
    std::free(list->text);
    list->entries = nullptr;
    list->text = nullptr;
    list->count = 0;
}

void free_extensions()
{
    std::free(g_ext_filter.words);
    std::free(g_ext_filter.text);
    g_ext_filter.words = nullptr;
    g_ext_filter.text = nullptr;
    g_ext_filter.count = 0;
}

// Publishes next (may be null) and frees the replaced text once no reader
// can still be copying it. Reload thread or exit only.
void replace_extra_headers(header_text* next)
{
    header_text* old = g_extra_headers.exchange(next);
    uint32_t epoch = g_header_epoch.load();
    g_header_epoch.store(epoch ^ 1);
    while (g_header_readers[epoch].load() != 0) sleep_ms(1);
    std::free(old);
}

// One line «name|target|user» of a mapping block, NUL-terminated in place.
// Fills *entry and returns true when the line makes an entry.
bool mapping_line(char16_t* line, uint64_t length, mapping_entry* entry)
{
    if (length == 0 || line[0] == u'#' || line[0] == u'|') return false;
    uint64_t first = find16(line, 0, length, u'|');
    if (first == length) return false;
    uint64_t second = find16(line, first + 1, length, u'|');
    if (second < length && find16(line, second + 1, length, u'|') < length) return false;
    char16_t* target = line + first + 1;
    uint64_t target_length = second - first - 1;
    if (target_length == 0) return false;
    line[first] = 0;
    line[second] = 0;
    entry->name = line;
    entry->target = target;
    entry->user = second < length ? line + second + 1 : u"";
    entry->target_length = target_length;
    entry->relative = !(target[0] == u'/' || target[0] == u'\\' ||
                        (target_length > 1 && target[1] == u':'));
    return true;
}

// Replaces a host or vdir list with the lines of block.
void set_mappings(mapping_list* list, const char16_t* block)
{
    free_mappings(list);
    uint64_t units = length16(block);
    uint64_t lines = 1;
    for (uint64_t i = 0; i < units; ++i) lines += is_line_end(block[i]);
    char16_t* text = static_cast<char16_t*>(std::malloc((units + 1) * sizeof(char16_t)));
    mapping_entry* entries = static_cast<mapping_entry*>(std::malloc(lines * sizeof(mapping_entry)));
    if (!text || !entries) {
        std::free(text);
        std::free(entries);
        return;
    }
    std::memcpy(text, block, (units + 1) * sizeof(char16_t));
    uint64_t count = 0;
    uint64_t p = 0;
    while (p < units) {
        while (p < units && text[p] == u'\t') ++p;
        uint64_t start = p;
        while (p < units && !is_line_end(text[p])) ++p;
        uint64_t end = p;
        if (p < units) text[p++] = 0;
        if (mapping_line(text + start, end - start, &entries[count])) ++count;
    }
    if (count == 0) {
        std::free(text);
        std::free(entries);
        return;
    }
    std::sort(entries, entries + count, [](const mapping_entry& a, const mapping_entry& b) {
        return compare_units(a.name, b.name) < 0;
    });
    list->entries = entries;
    list->text = text;
    list->count = count;
}

// Replaces the extension list with the words of block; the mode is set first.
void set_extensions(bool block_list, const char16_t* block)
{
    free_extensions();
    g_ext_filter.ext_mode = block_list;
    uint64_t room = length16(block) * 4 + 1;
    char* text = static_cast<char*>(std::malloc(room));
    if (!text) return;
    uint64_t bytes = utf16_to_utf8(text, room, block);
    const char** words = static_cast<const char**>(std::malloc((bytes / 2 + 1) * sizeof(char*)));
    if (bytes == 0 || !words) {
        std::free(text);
        std::free(words);
        return;
    }
    uint64_t count = 0;
    bool line_start = true;
    uint64_t p = 0;
    while (p < bytes) {
        char c = text[p];
        if (c == '\r' || c == '\n' || is_blank(c)) {
            if (!is_blank(c)) line_start = true;
            text[p++] = 0;
            continue;
        }
        if (c == '#') {
            // First on its line: a comment line. Elsewhere only the "#" itself is passed over.
            if (line_start) {
                while (p < bytes && text[p] != '\r' && text[p] != '\n') ++p;
            } else {
                ++p;
            }
            continue;
        }
        line_start = false;
        words[count++] = text + p;
        for (; p < bytes && text[p] != '\r' && text[p] != '\n' && !is_blank(text[p]); ++p) {
            if (text[p] >= 'A' && text[p] <= 'Z') text[p] = (char)(text[p] + ('a' - 'A'));
        }
    }
    if (count == 0) {
        std::free(text);
        std::free(words);
        return;
    }
    std::sort(words, words + count, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    g_ext_filter.words = words;
    g_ext_filter.text = text;
    g_ext_filter.count = count;
}

// Replaces the extra header lines with those of block. A block that yields
// no UTF-8 text keeps the previous lines.
void set_headers(const char16_t* block)
{
    uint64_t room = length16(block) * 4 + 1;
    char* utf8 = static_cast<char*>(std::malloc(room));
    header_text* next = static_cast<header_text*>(std::malloc(sizeof(header_text)));
    uint64_t bytes = utf8 && next ? utf16_to_utf8(utf8, room, block) : 0;
    if (bytes == 0) {
        std::free(utf8);
        std::free(next);
        return;
    }
    uint64_t out = 0;
    bool too_long = false;
    uint64_t p = 0;
    while (p < bytes) {
        while (p < bytes && is_blank(utf8[p])) ++p;
        uint64_t start = p;
        while (p < bytes && utf8[p] != '\r' && utf8[p] != '\n') ++p;
        // A last line without its line end is not taken.
        if (p == bytes) break;
        uint64_t length = p - start;
        p += (utf8[p] == '\r' && utf8[p + 1] == '\n') ? 2 : 1;
        if (length == 0 || utf8[start] == '#') continue;
        if (out + length + 2 >= extra_headers_limit) {
            too_long = true;
            break;
        }
        std::memcpy(next->text + out, utf8 + start, length);
        out += length;
        next->text[out++] = '\r';
        next->text[out++] = '\n';
    }
    std::free(utf8);
    if (out == 0 || too_long) {
        std::free(next);
        next = nullptr;
    } else {
        next->text[out] = 0;
        next->length = out;
    }
    replace_extra_headers(next);
}

// Roots of 65,536 units or more do not fit the buffer; such a line is
// ignored like an empty one and the previous root stays.
void set_root(const char16_t* value)
{
    uint64_t length = length16(value);
    if (length == 0 || length >= root_capacity) return;
    std::memcpy(g_root, value, length * sizeof(char16_t));
    g_root[length] = 0;
    g_root_length = length;
}

// tls_cer / tls_key: relative names are taken from the settings file's directory.
void set_tls_name(const G_SOCKET* server, settings_reading* reading, bool certificate,
                  const char16_t* value)
{
    char16_t* name = certificate ? g_tls_t.cer : g_tls_t.key;
    uint64_t length = length16(value);
    uint64_t directory = server->settings_path ? server->settings_directory_length : 0;
    bool relative = value[0] != u'/' && value[0] != u'\\' && find16(value, 0, length, u':') == length;
    if (relative && directory > 0 && directory + length + 1 <= tls_name_capacity) {
        std::memcpy(name, server->settings_path, directory * sizeof(char16_t));
        std::memcpy(name + directory, value, (length + 1) * sizeof(char16_t));
    } else if (length + 1 <= tls_name_capacity) {
        std::memcpy(name, value, (length + 1) * sizeof(char16_t));
    } else {
        console_printf(certificate ? "g_tls_t::cer too long\n" : "g_tls_t::key too long\n");
        return;
    }
    (certificate ? reading->cer_accepted : reading->key_accepted) = true;
    if (reading->cer_accepted && reading->key_accepted) {
        reading->cer_accepted = false;
        reading->key_accepted = false;
        tls_load_cert_key();
    }
}

// Applies one entry. block is null when the entry has none.
void apply_entry(G_SOCKET* server, settings_reading* reading, const char16_t* key,
                 const char16_t* value, const char16_t* block)
{
    switch (find_sorted16(settings_keys, key_count, key)) {
    case key_ext:
        if (block) set_extensions(blocks(value), block);
        break;
    case key_ext_no_ext:
        g_ext_filter.block_no_ext = blocks(value);
        if (block) set_extensions(blocks(value), block);
        break;
    case key_headers:
        if (block) set_headers(block);
        break;
    case key_host:
        if (block) set_mappings(&g_host_mappings, block);
        break;
    case key_list_directories: server->list_directories = truth(value); break;
    case key_min_gz: server->min_gz = truth(value); break;
    case key_port: {
        int64_t port = decimal(value);
        if (port >= 1 && port <= 65535 && server->service_port == 0) server->port = (uint16_t)port;
        break;
    }
    case key_root: set_root(value); break;
    case key_tls_cer: set_tls_name(server, reading, true, value); break;
    case key_tls_key: set_tls_name(server, reading, false, value); break;
    case key_tls_min_bits_ec: {
        // Only the four group sizes are known; a longer text cannot be one of them.
        char bits[8];
        if (utf16_to_utf8(bits, sizeof(bits), value) > 0) tls_set_groups(bits);
        break;
    }
    case key_tls_no_weak_ciphers: reading->no_weak_ciphers = truth(value); break;
    case key_upgrade_hsts: server->upgrade_hsts = truth(value); break;
    case key_upgrade_https: server->upgrade_https = truth(value); break;
    case key_vdir:
        if (block) set_mappings(&g_vdir_mappings, block);
        break;
    case key_view_md: server->view_md = truth(value); break;
    case key_user: break; // accepted; it has no effect
    default: break;       // not a key: switched off, or a comment
    }
}

// The "}" that closes a block beginning at from: CR or LF before it, CR, LF
// or the end of the text after it. end when there is none.
uint64_t block_close(const char16_t* t, uint64_t from, uint64_t end)
{
    for (uint64_t q = from; q < end; ++q) {
        if (t[q] == u'}' && is_line_end(t[q - 1]) && (q + 1 == end || is_line_end(t[q + 1]))) return q;
    }
    return end;
}

// Parses the n units of t (t[n] is NUL) in place: keys, values and blocks are
// cut out with NULs. Every search moves forward only, so the text is read in
// one pass whatever its shape.
void parse_entries(G_SOCKET* server, settings_reading* reading, char16_t* t, uint64_t n)
{
    bool no_lf = false; // no LF left from here on: values end at CR
    uint64_t i = 0;
    for (;;) {
        while (i < n && is_line_end(t[i])) ++i;
        if (i >= n) return;
        uint64_t equals = find16(t, i, n, u'=');
        if (equals == n) return;
        uint64_t value = equals + 1;
        uint64_t value_end = n;
        uint64_t next = n;
        bool last = false;
        uint64_t lf = no_lf ? n : find16(t, value, n, u'\n');
        if (lf < n) {
            value_end = (lf > value && t[lf - 1] == u'\r') ? lf - 1 : lf;
            next = lf + 1;
        } else {
            no_lf = true;
            uint64_t cr = find16(t, value, n, u'\r');
            if (cr < n) {
                value_end = cr;
                next = cr + 1;
            } else {
                last = true;
            }
        }
        uint64_t block = 0;
        uint64_t block_end = 0;
        if (!last && next + 1 < n && t[next] == u'{' && is_line_end(t[next + 1])) {
            uint64_t content = next + 1;
            while (content < n && is_line_end(t[content])) ++content;
            // Only line ends after the "{": no block.
            if (content < n) {
                block = content;
                block_end = block_close(t, content, n);
                next = block_end + 1;
                last = block_end == n;
            }
        }
        t[equals] = 0;
        t[value_end] = 0;
        if (block) t[block_end] = 0;
        apply_entry(server, reading, t + i, t + value, block ? t + block : nullptr);
        if (last) return;
        i = next;
    }
}

// Reads the open settings file whole (up to settings_read_limit bytes) into a
// new buffer with room for a UTF-16 NUL; null when nothing could be read.
unsigned char* read_settings_bytes(file_t file, uint64_t* length)
{
    file_info info;
    uint64_t size = 65536;
    if (file_get_info(file, &info) == 0 && info.size > 0) size = info.size;
    if (size > settings_read_limit) size = settings_read_limit;
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc((size & ~1ULL) + 4));
    if (!bytes) return nullptr;
    uint64_t done = 0;
    while (done < size) {
        int64_t n = file_read(file, bytes + done, size - done);
        if (n <= 0) break;
        done += (uint64_t)n;
    }
    if (done == 0) {
        std::free(bytes);
        return nullptr;
    }
    *length = done;
    return bytes;
}

} // namespace

int64_t extra_headers_copy(char* out, uint64_t room)
{
    uint32_t epoch;
    for (;;) {
        epoch = g_header_epoch.load();
        g_header_readers[epoch].fetch_add(1);
        // Entered the epoch that a replacement is about to drain: count in the new one instead.
        if (g_header_epoch.load() == epoch) break;
        g_header_readers[epoch].fetch_sub(1);
    }
    const header_text* lines = g_extra_headers.load();
    int64_t copied = 0;
    if (lines) {
        if (lines->length > room) {
            copied = -1;
        } else {
            std::memcpy(out, lines->text, lines->length);
            copied = (int64_t)lines->length;
        }
    }
    g_header_readers[epoch].fetch_sub(1);
    return copied;
}

void settings_release()
{
    free_mappings(&g_host_mappings);
    free_mappings(&g_vdir_mappings);
    std::memset(g_root, 0, sizeof(g_root));
    g_root_length = 0;
    free_extensions();
    g_ext_filter.ext_mode = false;
    g_ext_filter.block_no_ext = false;
    replace_extra_headers(nullptr);
}

char16_t* settings_decode(const unsigned char* bytes, uint64_t length)
{
    if (!bytes || length == 0) return nullptr;
    bool little = length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    bool big = length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
    if (little || big) {
        // The text ends at the last even byte: an odd last byte is dropped.
        uint64_t units = (length - 2) / 2;
        char16_t* text = static_cast<char16_t*>(std::malloc((units + 1) * sizeof(char16_t)));
        if (!text) return nullptr;
        const unsigned char* p = bytes + 2;
        for (uint64_t i = 0; i < units; ++i, p += 2) {
            text[i] = little ? (char16_t)(p[0] | (p[1] << 8)) : (char16_t)((p[0] << 8) | p[1]);
        }
        text[units] = 0;
        if (text[0] == 0) {
            std::free(text);
            return nullptr;
        }
        return text;
    }
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        length -= 3;
    }
    char* utf8 = static_cast<char*>(std::malloc(length + 1));
    char16_t* text = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    if (!utf8 || !text) {
        std::free(utf8);
        std::free(text);
        return nullptr;
    }
    std::memcpy(utf8, bytes, length);
    utf8[length] = 0;
    uint64_t units = utf8_to_utf16(text, length + 1, utf8);
    std::free(utf8);
    if (units == 0) {
        std::free(text);
        return nullptr;
    }
    return text;
}

int settings_parse_text(G_SOCKET* server, const char16_t* text, settings_reading* reading)
{
    *reading = settings_reading{};
    uint64_t length = length16(text);
    char16_t* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    if (!copy) return -1;
    std::memcpy(copy, text, (length + 1) * sizeof(char16_t));
    parse_entries(server, reading, copy, length);
    std::free(copy);
    return 0;
}

int G_SOCKET::config(const char16_t* program_path)
{
    file_t file = invalid_file;
    locate_settings_file(this, program_path, &file);

    list_directories = false;
    view_md = false;
    min_gz = false;
    upgrade_hsts = false;
    upgrade_https = false;
    port = service_port != 0 ? service_port : 80;
    if (g_root_length == 0) set_root(default_root);

    settings_reading reading{};
    if (file != invalid_file) {
        uint64_t length = 0;
        unsigned char* bytes = read_settings_bytes(file, &length);
        file_close(file);
        char16_t* text = bytes ? settings_decode(bytes, length) : nullptr;
        std::free(bytes);
        if (text) {
            reload_wait_for_resolvers(std::min<uint32_t>(cw_connections, slot_count));
            parse_entries(this, &reading, text, length16(text));
            std::free(text);
        }
    }
    tls_set_options(reading.no_weak_ciphers ? 1 : 0);

    bool valid = cert_valid.load();
    g_list_directories.store(list_directories);
    g_view_md.store(view_md);
    g_min_gz.store(min_gz);
    g_upgrade_https_in_effect.store(upgrade_https && valid);
    g_upgrade_hsts_in_effect.store(upgrade_hsts && valid);

    // A changed certificate or setting must not be masked by a result cached
    // from the settings before.
    reload_count_reading();
    return 0;
}
