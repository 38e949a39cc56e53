// File delivery: index files, pre-compressed, minified and WebP variants,
// single byte ranges, 304 answers, and large files read unbuffered one reader
// after another.
#pragma once

struct http_exchange;

// Answers a resolved GET or HEAD request with the file, a variant, an index
// file or 404; false when the connection must end.
bool serve_file(http_exchange* exchange);
