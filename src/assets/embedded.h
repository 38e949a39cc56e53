// Files carried inside the program: the settings template and the built-in
// assets. Every record is dated with the build time.
#pragma once
#include <cstdint>

constexpr uint64_t http_date_capacity = 30;

struct embedded_file {
    const char16_t* wide_name;     // file name, e.g. u"theme.css"
    const char* url;               // full URL path, e.g. "/quillnest/theme.css"
    const char* sort_key;          // url without its leading "/"
    const char* relative_path;     // below the group directory, e.g. "icon.16/audio.png"
    const char* file_name;         // last path segment, e.g. "audio.png"
    int32_t mime_index;            // index into the MIME type table
    int32_t charset_index;         // 0 none, 1 "utf-8", 2 "utf-16", 3 "utf-16be"
    uint32_t length;               // stored bytes, byte-order mark included
    uint32_t text_length;          // without the byte-order mark
    uint64_t unit_count;           // text_length / 2
    const unsigned char* data;     // the stored bytes
    const unsigned char* text;     // the stored bytes after the byte-order mark
    char modified[http_date_capacity];       // HTTP date of the build
    char modified_lower[http_date_capacity]; // the same in lower case
};

// The settings template (UTF-16 LE with byte-order mark, CR LF line ends).
extern embedded_file g_settings_template;

// Dates every record with the build time; start-up, before the groups are sorted.
void embedded_files_init();

// The build time as an HTTP date into date (http_date_capacity bytes).
void build_date_text(char* date);
// Gives the record the date and its lower-case copy.
void set_embedded_date(embedded_file* record, const char* date);
