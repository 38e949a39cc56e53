#include "assets/embedded.h"
#include "assets/embedded_data.h"
#include "content/mime_types.h"

// The stored file is UTF-16 LE behind its two-byte byte-order mark.
embedded_file g_settings_template = {
    u"quillnest.ini",                         // wide_name
    "/Program Files/quillnest/quillnest.ini", // url
    "Program Files/quillnest/quillnest.ini",  // sort_key
    "quillnest.ini",                          // relative_path
    "quillnest.ini",                          // file_name
    mime_text_plain,                          // mime_index
    2,                                        // charset_index: "utf-16"
    qn_file_settings_template_size,           // length
    qn_file_settings_template_size - 2,       // text_length
    (qn_file_settings_template_size - 2) / 2, // unit_count
    qn_file_settings_template,                // data
    qn_file_settings_template + 2,            // text
    {},                                       // modified: embedded_files_init
    {},                                       // modified_lower: embedded_files_init
};

void embedded_files_init()
{
    char date[http_date_capacity] = {};
    build_date_text(date);
    set_embedded_date(&g_settings_template, date);
}
