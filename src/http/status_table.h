// The status lines of the server's answers, addressed by the status indices
// of http/response.h. Texts are sent exactly as they stand here.
#pragma once
#include <cstdint>

#include "http/response.h"

// status_count NUL-terminated status lines ("200 OK", "404 Not Found", ...).
extern const char* const status_lines[status_count];

// Status indices below this one (the 1xx, 2xx and 3xx lines) mark successful
// answers, which carry the security headers.
constexpr int32_t status_first_failure = status_bad_request;
