// Rendering throughput of the Markdown view, in memory, without a socket: the
// page is written into slot-sized buffer halves and its chunks captured, as a
// client would receive them. The text is the file named by QN_MARKDOWN_FILE
// (bench/markdown.sh writes one that mixes every construct), else a built-in
// mix of about 100 KiB. Goal: at least the throughput of cmark on the same file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/response.h"
#include "pages/markdown.h"
#include "pages/page_output.h"

namespace {

std::string built_in_text()
{
    const std::string piece =
        "## Section with *emphasis* and **bold**\n\n"
        "A paragraph of ordinary prose that runs on for a while, with `inline <code>`, a "
        "[link](docs/page.md), a bare address https://example.com/path?q=1 and \\*escaped\\* stars.  \n"
        "A second line after a break, then more words to make the paragraph long enough to matter.\n\n"
        "![diagram](img/diagram-dark.png) [![badge](img/badge-light.svg)](https://ci.example.com)\n\n---\n\n"
        "| Name | Size | Note |\n|:-----|-----:|:----:|\n| a.md | 1200 | *draft* |\n| b.md | 3 | `x` |\n\n"
        "```c\n#include <stdio.h>\n#define N 16\nint main(void) {\n    for (int i = 0; i < N; ++i)\n"
        "        printf(\"%d\\n\", i * 0x1F + 2); // print\n    return 0;\n}\n```\n\n";
    std::string text;
    while (text.size() < 100 * 1024) text += piece;
    text.resize(100 * 1024);
    return text;
}

std::string load_text()
{
    const char* name = std::getenv("QN_MARKDOWN_FILE");
    if (!name) return built_in_text();
    std::string text;
    FILE* f = std::fopen(name, "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", name);
        std::exit(1);
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

void render_document(benchmark::State& state)
{
    static const std::string text = load_text();
    // Halves as large as the view needs for this text (a slot's halves hold 262144 bytes).
    uint64_t half_size = body_offset + 262144;
    while (!markdown_fits(text.size(), half_size)) half_size += 65536;
    std::vector<char> a(half_size), b(half_size), capture(64 * text.size() + 65536);
    uint64_t page_length = 0;
    for (auto _ : state) {
        char* at = a.data() + half_size - 4 - text.size();
        std::memcpy(at, text.data(), text.size());
        std::memset(at + text.size(), 0, 4);
        page_output out;
        page_output_capture(&out, a.data(), b.data(), half_size, capture.data(), capture.size());
        if (render_markdown_page(&out, "bench.md", 8, false, at, text.size()) != 0) {
            state.SkipWithError("rendering failed");
            break;
        }
        page_length = out.capture_length;
        benchmark::DoNotOptimize(capture.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
    state.counters["page_bytes"] = (double)page_length;
}
BENCHMARK(render_document)->Unit(benchmark::kMicrosecond);

} // namespace
