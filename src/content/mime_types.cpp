#include "content/mime_types.h"

#include <array>

#include "core/text.h"

// Declared constexpr here so that a missing or surplus entry fails to compile.
constexpr const char* mime_types[] = {
    "access/blocked",
    "application/book",
    "application/epub+zip",
    "application/hta",
    "application/java-archive",
    "application/javascript",
    "application/json",
    "application/msword",
    "application/octet-stream",
    "application/onenote",
    "application/pdf",
    "application/pkix-crl",
    "application/postscript",
    "application/rtf",
    "application/vnd.ms-cab-compressed",
    "application/vnd.ms-excel",
    "application/vnd.ms-office.calx",
    "application/vnd.ms-pki.seccat",
    "application/vnd.ms-powerpoint",
    "application/vnd.openxmlformats-officedocument.presentationml.slideshow",
    "application/vnd.openxmlformats-officedocument.presentationml.presentation",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
    "application/vnd.rn-realmedia",
    "application/vnd.visio",
    "application/winhlp",
    "application/x-7z-compressed",
    "application/x-bzip",
    "application/x-bzip2",
    "application/x-chat",
    "application/x-compress",
    "application/x-compressed",
    "application/x-csh",
    "application/x-gtar",
    "application/x-gzip",
    "application/x-ima",
    "application/x-indesign",
    "application/x-java-applet",
    "application/x-ms-application",
    "application/x-ms-manifest",
    "application/x-ms-shortcut",
    "application/x-msdownload",
    "application/x-mswrite",
    "application/x-navi-animation",
    "application/x-pem-file",
    "application/x-sh",
    "application/x-shockwave-flash",
    "application/x-tar",
    "application/x-tcl",
    "application/x-tex",
    "application/x-texinfo",
    "application/x-x509-ca-cert",
    "application/x-zip-compressed",
    "audio/aac",
    "audio/aiff",
    "audio/basic",
    "audio/mid",
    "audio/mp4",
    "audio/mpeg",
    "audio/ogg",
    "audio/vnd.rn-realaudio",
    "audio/wav",
    "audio/x-aiff",
    "audio/x-m4r",
    "audio/x-mpegurl",
    "audio/x-ms-wma",
    "font/otf",
    "font/ttf",
    "font/woff",
    "font/woff2",
    "image/apng",
    "image/avif",
    "image/avifs",
    "image/bmp",
    "image/gif",
    "image/heic",
    "image/heic-sequence",
    "image/heif",
    "image/heif-sequence",
    "image/jpeg",
    "image/png",
    "image/psd",
    "image/svg+xml",
    "image/tiff",
    "image/webp",
    "image/x-icon",
    "message/http",
    "message/rfc822",
    "text/asp",
    "text/css",
    "text/csv",
    "text/html",
    "text/jscript",
    "text/json",
    "text/markdown",
    "text/pascal",
    "text/plain",
    "text/vbscript",
    "text/x-fortran",
    "text/x-script.phyton",
    "text/x-speech",
    "text/x-url",
    "text/xml",
    "video/avi",
    "video/avs-video",
    "video/mp4",
    "video/mpeg",
    "video/ogg",
    "video/quicktime",
    "video/vnd.dlna.mpeg-tts",
    "video/vnd.rn-realvideo",
    "video/webm",
    "video/x-flv",
    "video/x-matroska",
    "video/x-ms-asf",
    "video/x-ms-wmv",
    "video/x-sgi-movie",
};
static_assert(mime_types[mime_type_count - 1] != nullptr, "the MIME type table lacks entries");

const char* mime_type_text(int32_t index)
{
    if (index < 0 || index >= mime_type_count) return mime_types[mime_application_octet_stream];
    return mime_types[index];
}

// The key "ram," carries its comma: a file ending in ".ram" is not found and
// is served as "application/octet-stream".
constexpr extension_row extension_table[] = {
    {"001", 26},            // application/x-7z-compressed
    {"7z", 26},             // application/x-7z-compressed
    {"aac", 53},            // audio/aac
    {"ai", 12},             // application/postscript
    {"aif", 62},            // audio/x-aiff
    {"aifc", 54},           // audio/aiff
    {"aiff", 54},           // audio/aiff
    {"ani", 43},            // application/x-navi-animation
    {"apng", 70},           // image/apng
    {"application", 38},    // application/x-ms-application
    {"asf", 114},           // video/x-ms-asf
    {"asm", 96},            // text/plain
    {"asp", 88},            // text/asp
    {"asr", 114},           // video/x-ms-asf
    {"asx", 114},           // video/x-ms-asf
    {"au", 55},             // audio/basic
    {"avi", 103},           // video/avi
    {"avif", 71},           // image/avif
    {"avifs", 72},          // image/avifs
    {"avs", 104},           // video/avs-video
    {"bat", 96},            // text/plain
    {"bin", 8},             // application/octet-stream
    {"bmp", 73},            // image/bmp
    {"book", 1},            // application/book
    {"bz", 27},             // application/x-bzip
    {"bz2", 28},            // application/x-bzip2
    {"c", 96},              // text/plain
    {"c++", 96},            // text/plain
    {"cab", 14},            // application/vnd.ms-cab-compressed
    {"calx", 16},           // application/vnd.ms-office.calx
    {"cat", 17},            // application/vnd.ms-pki.seccat
    {"cc", 96},             // text/plain
    {"cer", 51},            // application/x-x509-ca-cert
    {"chat", 29},           // application/x-chat
    {"chm", 8},             // application/octet-stream
    {"class", 37},          // application/x-java-applet
    {"cmd", 96},            // text/plain
    {"com", 8},             // application/octet-stream
    {"conf", 102},          // text/xml
    {"config", 102},        // text/xml
    {"cpp", 96},            // text/plain
    {"crl", 11},            // application/pkix-crl
    {"crt", 51},            // application/x-x509-ca-cert
    {"csh", 32},            // application/x-csh
    {"css", 89},            // text/css
    {"csv", 90},            // text/csv
    {"cur", 8},             // application/octet-stream
    {"def", 96},            // text/plain
    {"deploy", 8},          // application/octet-stream
    {"der", 51},            // application/x-x509-ca-cert
    {"dib", 73},            // image/bmp
    {"dll", 41},            // application/x-msdownload
    {"doc", 7},             // application/msword
    {"docx", 22},           // application/vnd.openxmlformats-officedocument.wordprocessingml.document
    {"dot", 7},             // application/msword
    {"dsp", 8},             // application/octet-stream
    {"dtd", 102},           // text/xml
    {"dump", 8},            // application/octet-stream
    {"eml", 87},            // message/rfc822
    {"eps", 12},            // application/postscript
    {"epub", 2},            // application/epub+zip
    {"exe", 8},             // application/octet-stream
    {"f", 98},              // text/x-fortran
    {"f77", 98},            // text/x-fortran
    {"f90", 98},            // text/x-fortran
    {"fla", 8},             // application/octet-stream
    {"flv", 112},           // video/x-flv
    {"gif", 74},            // image/gif
    {"gtar", 33},           // application/x-gtar
    {"gz", 34},             // application/x-gzip
    {"h", 96},              // text/plain
    {"heic", 75},           // image/heic
    {"heics", 76},          // image/heic-sequence
    {"heif", 77},           // image/heif
    {"heifs", 78},          // image/heif-sequence
    {"hh", 96},             // text/plain
    {"hlp", 25},            // application/winhlp
    {"hta", 3},             // application/hta
    {"htm", 91},            // text/html
    {"html", 91},           // text/html
    {"ico", 85},            // image/x-icon
    {"ima", 35},            // application/x-ima
    {"img", 8},             // application/octet-stream
    {"indd", 36},           // application/x-indesign
    {"inf", 96},            // text/plain
    {"ini", 96},            // text/plain
    {"iso", 8},             // application/octet-stream
    {"jar", 4},             // application/java-archive
    {"java", 8},            // application/octet-stream
    {"jpe", 79},            // image/jpeg
    {"jpeg", 79},           // image/jpeg
    {"jpg", 79},            // image/jpeg
    {"js", 5},              // application/javascript
    {"json", 6},            // application/json
    {"jsx", 92},            // text/jscript
    {"lnk", 40},            // application/x-ms-shortcut
    {"log", 96},            // text/plain
    {"m", 96},              // text/plain
    {"m1v", 106},           // video/mpeg
    {"m2ts", 109},          // video/vnd.dlna.mpeg-tts
    {"m3u", 64},            // audio/x-mpegurl
    {"m4a", 57},            // audio/mp4
    {"m4r", 63},            // audio/x-m4r
    {"m4v", 105},           // video/mp4
    {"manifest", 102},      // text/xml
    {"map", 96},            // text/plain
    {"md", 94},             // text/markdown
    {"mht", 87},            // message/rfc822
    {"mhtml", 87},          // message/rfc822
    {"mid", 56},            // audio/mid
    {"midi", 56},           // audio/mid
    {"mkv", 113},           // video/x-matroska
    {"mov", 108},           // video/quicktime
    {"movie", 116},         // video/x-sgi-movie
    {"mp2", 106},           // video/mpeg
    {"mp3", 58},            // audio/mpeg
    {"mp4", 105},           // video/mp4
    {"mp4v", 105},          // video/mp4
    {"mpa", 58},            // audio/mpeg
    {"mpe", 106},           // video/mpeg
    {"mpeg", 106},          // video/mpeg
    {"mpg", 106},           // video/mpeg
    {"mpv2", 106},          // video/mpeg
    {"msi", 8},             // application/octet-stream
    {"nsc", 114},           // video/x-ms-asf
    {"nws", 87},            // message/rfc822
    {"o", 8},               // application/octet-stream
    {"oga", 59},            // audio/ogg
    {"ogg", 59},            // audio/ogg
    {"ogm", 107},           // video/ogg
    {"ogv", 107},           // video/ogg
    {"one", 9},             // application/onenote
    {"otf", 66},            // font/otf
    {"p", 95},              // text/pascal
    {"pas", 95},            // text/pascal
    {"pdf", 10},            // application/pdf
    {"pem", 44},            // application/x-pem-file
    {"png", 80},            // image/png
    {"pnz", 80},            // image/png
    {"pps", 18},            // application/vnd.ms-powerpoint
    {"ppsx", 19},           // application/vnd.openxmlformats-officedocument.presentationml.slideshow
    {"ppt", 18},            // application/vnd.ms-powerpoint
    {"pptx", 20},           // application/vnd.openxmlformats-officedocument.presentationml.presentation
    {"ps", 12},             // application/postscript
    {"psd", 81},            // image/psd
    {"py", 99},             // text/x-script.phyton
    {"ra", 60},             // audio/vnd.rn-realaudio
    {"ram,", 60},           // audio/vnd.rn-realaudio
    {"rar", 8},             // application/octet-stream
    {"raw", 8},             // application/octet-stream
    {"rc", 96},             // text/plain
    {"rm", 23},             // application/vnd.rn-realmedia
    {"rmi", 56},            // audio/mid
    {"rtf", 13},            // application/rtf
    {"rv", 110},            // video/vnd.rn-realvideo
    {"sh", 45},             // application/x-sh
    {"snd", 55},            // audio/basic
    {"spx", 59},            // audio/ogg
    {"svg", 82},            // image/svg+xml
    {"svgz", 82},           // image/svg+xml
    {"swf", 46},            // application/x-shockwave-flash
    {"talk", 100},          // text/x-speech
    {"tar", 47},            // application/x-tar
    {"tcl", 48},            // application/x-tcl
    {"tex", 49},            // application/x-tex
    {"tgz", 31},            // application/x-compressed
    {"tiff", 83},           // image/tiff
    {"ts", 109},            // video/vnd.dlna.mpeg-tts
    {"ttf", 67},            // font/ttf
    {"txt", 96},            // text/plain
    {"url", 101},           // text/x-url
    {"vbs", 97},            // text/vbscript
    {"vml", 102},           // text/xml
    {"vsd", 24},            // application/vnd.visio
    {"vsx", 24},            // application/vnd.visio
    {"wav", 61},            // audio/wav
    {"webm", 111},          // video/webm
    {"webp", 84},           // image/webp
    {"wma", 65},            // audio/x-ms-wma
    {"wmv", 115},           // video/x-ms-wmv
    {"woff", 68},           // font/woff
    {"woff2", 69},          // font/woff2
    {"wri", 42},            // application/x-mswrite
    {"xls", 15},            // application/vnd.ms-excel
    {"xml", 102},           // text/xml
    {"z", 30},              // application/x-compress
    {"zip", 52},            // application/x-zip-compressed
};

namespace {

constexpr bool extensions_sorted()
{
    for (uint64_t i = 1; i < extension_count; ++i) {
        if (compare_units(extension_table[i - 1].name, extension_table[i].name) >= 0) return false;
    }
    return true;
}

constexpr bool extension_types_valid()
{
    for (const extension_row& row : extension_table) {
        if (row.type <= mime_access_blocked || row.type >= mime_type_count) return false;
    }
    return true;
}

static_assert(std::size(extension_table) == extension_count, "the extension table has 187 entries");
static_assert(extensions_sorted(), "the extension table must be sorted byte-wise, without duplicates");
static_assert(extension_types_valid(), "every extension names a type other than access/blocked");

// The names alone, as the sorted-table search takes them.
constexpr std::array<const char*, extension_count> extension_names = [] {
    std::array<const char*, extension_count> names{};
    for (uint64_t i = 0; i < extension_count; ++i) names[i] = extension_table[i].name;
    return names;
}();

} // namespace

int32_t extension_type(const char* extension)
{
    int64_t index = find_sorted(extension_names.data(), extension_count, extension);
    return index < 0 ? mime_application_octet_stream : extension_table[index].type;
}
