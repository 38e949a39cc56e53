// The MIME type table. A file's type travels through the program as an index
// into this table; index 0 marks a file refused by the extension filter.
#pragma once
#include <cstdint>

constexpr int32_t mime_type_count = 117;

// Indices the program names directly.
enum : int32_t {
    mime_access_blocked = 0,           // "access/blocked": refused by the extension filter
    mime_application_javascript = 5,   // "application/javascript"
    mime_application_octet_stream = 8, // "application/octet-stream": unknown extensions, downloads
    mime_image_png = 80,               // "image/png"
    mime_image_webp = 84,              // "image/webp"
    mime_image_x_icon = 85,            // "image/x-icon"
    mime_text_css = 89,                // "text/css"
    mime_text_html = 91,               // "text/html"
    mime_text_markdown = 94,           // "text/markdown"
    mime_text_plain = 96,              // "text/plain"
};

// The table is ordered by top-level type; each group starts at these indices
// (application/* starts at 1 and runs up to the audio group).
enum : int32_t {
    mime_first_audio = 53,   // audio/*
    mime_first_font = 66,    // font/*, then image/*
    mime_first_message = 86, // message/*, then text/*
    mime_first_video = 103,  // video/* up to the end of the table
};

// mime_type_count NUL-terminated type texts, "access/blocked" first.
extern const char* const mime_types[mime_type_count];

// The text of a type index; "application/octet-stream" for an index outside
// the table, so a stray index never reads past it nor invites rendering.
const char* mime_type_text(int32_t index);

// One entry of the extension table.
struct extension_row {
    const char* name; // lower-case extension without its ".", NUL-terminated
    int32_t type;     // index in mime_types
};

// The extension table: extension_count entries sorted byte-wise by name (as
// unsigned bytes), so that find_sorted finds each of them.
constexpr uint64_t extension_count = 187;
extern const extension_row extension_table[extension_count];

// The type index of a lower-case, NUL-terminated UTF-8 extension (without its
// "."): its entry in the extension table, or mime_application_octet_stream.
int32_t extension_type(const char* extension);
