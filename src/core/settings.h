// Settings: what the settings file configures. The server object's own
// settings live in G_SOCKET (net/server.h); the process-wide ones here keep
// their values from one reading to the next unless the file sets them again.
#pragma once
#include <atomic>
#include <cstdint>

// Published copies of the boolean settings, rewritten at the end of every
// reading; readers take single bytes without locks.
extern std::atomic<bool> g_list_directories;
extern std::atomic<bool> g_view_md;
extern std::atomic<bool> g_min_gz;
extern std::atomic<bool> g_upgrade_https_in_effect; // upgrade_https and cert_valid
extern std::atomic<bool> g_upgrade_hsts_in_effect;  // upgrade_hsts and cert_valid

// Capacity of the document root buffer in UTF-16 units (hard limit, NUL included).
constexpr uint64_t root_capacity = 65536;
extern char16_t g_root[root_capacity];
extern uint64_t g_root_length;

// One line «name|target|user» of a host or vdir block.
struct mapping_entry {
    const char16_t* name;
    const char16_t* target;
    const char16_t* user;   // possibly empty; stored, not used
    uint64_t target_length; // UTF-16 units
    bool relative;          // target is not absolute
};

// Entries sorted by name (UTF-16 units compared as unsigned numbers).
struct mapping_list {
    mapping_entry* entries;
    char16_t* text;         // the text the entries point into
    uint64_t count;
};
extern mapping_list g_host_mappings;
extern mapping_list g_vdir_mappings;

struct extension_filter {
    bool ext_mode;          // 1: the list blocks, 0: the list allows
    bool block_no_ext;      // files without an extension are blocked
    const char** words;     // lower-case UTF-8 extensions sorted byte-wise
    char* text;             // the text the words point into
    uint64_t count;
};
extern extension_filter g_ext_filter;

// Extra response header lines have fewer than this many bytes (hard limit).
constexpr uint64_t extra_headers_limit = 32768;

// Copies the extra header lines (each ending in CR LF) to out. Returns the
// bytes copied (0 when there are none), or -1 when they do not fit into room.
// Safe on any thread while a reload replaces the lines.
int64_t extra_headers_copy(char* out, uint64_t room);

// Frees the process-wide settings (mapping lists, filter, headers) at exit
// and empties them all, the root and the filter's modes included.
void settings_release();

// Capacity of one reading of the settings file in bytes (hard limit): a longer
// file is read only this far.
constexpr uint64_t settings_read_limit = 16 * 1024 * 1024;

// Default document root, set when a reading starts and no root was ever set.
constexpr char16_t default_root[] = u"/var/www/html";

// State of one reading of the settings, clear at its start.
struct settings_reading {
    bool cer_accepted;    // a tls_cer line was accepted
    bool key_accepted;    // a tls_key line was accepted
    bool no_weak_ciphers; // value of tls_no_weak_ciphers, false when absent
};

struct G_SOCKET;

// Turns the raw bytes of a settings file into NUL-terminated UTF-16 text:
// UTF-16 LE or BE after their byte-order mark, otherwise UTF-8 (with or
// without its mark). Returns new text owned by the caller (std::free), or null
// when the bytes yield no text. Never fails on malformed bytes.
char16_t* settings_decode(const unsigned char* bytes, uint64_t length);

// Applies every entry of text to the server object's settings and to the
// process-wide ones, as one reading does after its wait for the slots;
// *reading is cleared first and tells what the reading saw. Returns 0, or -1
// when no working copy of the text could be had. Reload thread or start-up only.
int settings_parse_text(G_SOCKET* server, const char16_t* text, settings_reading* reading);
