// From a request path to a file-system path: the base directory from the
// document root and the host and vdir mappings, percent-decoding, an in-place
// normalisation that never climbs above the URL part's "/", and the MIME type
// with the extension filter's verdict.
#pragma once
#include <cstdint>

#include "core/settings.h"
#include "http/response.h"

struct request_record;


// Builds the file-system path for the request in the resolved path's buffer;
// its URL part never climbs above its leading "/". 0 on success; -1 on failure,
// or with `redirect` set when the request named a virtual directory without "/":
// the path then reads segment, "/", "?" and query, written up to one byte behind
// the query's NUL (the path's without a query), which the parser's layout has.
int resolve_path(resolved_path* resolved, request_record* request);

// Percent-decodes (when decode is set) the input, read up to its NUL and at most
// length bytes, and converts it from UTF-8 into at most room UTF-16 units, NUL
// included; the units written before the NUL. 0 when nothing is decoded, when
// the text reaches 8191 bytes, or when it does not fit. "%00" ends the text.
uint64_t decode_url_path(char16_t* out, uint64_t room, const char* input, uint64_t length, bool decode);

// Sets `type` from the extension of the path between url_part and path_end
// (the text there holds no NUL). An extension whose UTF-8 form does not fit
// into 15 bytes is refused by an allow list and is otherwise left at 8.
void classify_extension(resolved_path* resolved);

// The entry named key (exact, case-sensitive), or null.
const mapping_entry* find_mapping(const mapping_list* list, const char16_t* key);

// Copies count bytes when room >= count (0); 22 for a null pointer; 34, with
// the room zero-filled, when it does not fit. A count of 0 returns 0 at once.
int copy_bounded(void* destination, uint64_t room, const void* source, uint64_t count);
