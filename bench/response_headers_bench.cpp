// Cost of the header block every file answer starts with. Goal: below 1 µs.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "content/mime_types.h"
#include "http/response.h"

namespace {

// 2025-03-06 08:05:09 UTC as FILETIME.
constexpr uint64_t file_write_time = 133857219090000000ULL;

void file_answer_header(benchmark::State& state)
{
    static char buffer[65536];
    response_record response{};
    byte_range range{0, 0};
    uint64_t written = file_write_time;
    for (auto _ : state) {
        uint64_t length = build_response_headers(&response, buffer, sizeof(buffer), status_ok,
                                                 mime_text_css, 48213, true, false, &range,
                                                 &written, nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(file_answer_header);

} // namespace
