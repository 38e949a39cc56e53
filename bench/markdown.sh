#!/usr/bin/env bash
# Markdown view figures, printed side by side:
#  1. rendering throughput (MB/s) of a 100 KiB document that mixes every
#     construct, by quillnest's renderer in memory and by cmark on the same file;
#  2. requests per second of "?view" for a 20 KiB README at 8 keep-alive
#     connections, beside serving the same file as it is.
#
#   bash bench/markdown.sh [seconds per wrk run]
#
# Builds into build-bench (benchmarks on, tests off). Needs cmark and wrk
# (Debian packages of those names). Every run is bounded; the server is
# stopped at the end.
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}
build=$root_dir/build-bench

for tool in cmark wrk; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed" >&2; exit 1; }
done

cmake -S "$root_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQN_BENCH=ON -DQN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target markdown_render_bench quillnest >/dev/null

work=$(mktemp -d)
qn_pid=""
cleanup() {
  [ -n "$qn_pid" ] && kill "$qn_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A document of exactly `size` bytes built from one piece that holds every
# construct the view knows.
make_document() { # size path
  python3 - "$1" "$2" <<'PY'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
piece = (
    "## Section with *emphasis* and **bold**\n\n"
    "A paragraph of ordinary prose that runs on for a while, with `inline <code>`, a "
    "[link](docs/page.md), a bare address https://example.com/path?q=1 and \\*escaped\\* stars.  \n"
    "A second line after a break, then more words to make the paragraph long enough to matter.\n\n"
    "![diagram](img/diagram-dark.png) [![badge](img/badge-light.svg)](https://ci.example.com)\n\n---\n\n"
    "| Name | Size | Note |\n|:-----|-----:|:----:|\n| a.md | 1200 | *draft* |\n| b.md | 3 | `x` |\n\n"
    "```c\n#include <stdio.h>\n#define N 16\nint main(void) {\n    for (int i = 0; i < N; ++i)\n"
    "        printf(\"%d\\n\", i * 0x1F + 2); // print\n    return 0;\n}\n```\n\n")
text = (piece * (size // len(piece) + 1))[:size]
with open(path, "w") as f:
    f.write(text)
PY
}

doc=$work/doc.md
make_document $((100 * 1024)) "$doc"
size=$(stat -c %s "$doc")

# quillnest: google-benchmark's figure for the renderer alone.
qn_mbs=$(QN_MARKDOWN_FILE=$doc "$build/bench/markdown_render_bench" --benchmark_min_time=2 \
           --benchmark_format=json 2>/dev/null |
         python3 -c 'import json,sys; b=json.load(sys.stdin)["benchmarks"][0]; print("%.0f" % (b["bytes_per_second"]/1e6))')

# cmark: one process renders the file given many times as one document; the
# start-up of a process is measured alone and taken off.
copies=200
args=()
for _ in $(seq 1 $copies); do args+=("$doc"); done
best=""
for _ in 1 2 3; do
  t0=$(date +%s.%N); cmark "${args[@]}" >/dev/null; t1=$(date +%s.%N)
  e0=$(date +%s.%N); cmark /dev/null >/dev/null; e1=$(date +%s.%N)
  t=$(python3 -c "print(max(1e-6, ($t1 - $t0) - ($e1 - $e0)))")
  if [ -z "$best" ] || python3 -c "import sys; sys.exit(0 if $t < $best else 1)"; then best=$t; fi
done
cmark_mbs=$(python3 -c "print('%.0f' % ($copies * $size / $best / 1e6))")

printf '%-52s %12s %12s\n' "rendering, $size-byte document" quillnest cmark
printf '%-52s %12s %12s\n' "throughput (MB/s)" "$qn_mbs" "$cmark_mbs"

# Requests per second: the same README rendered and as it is.
mkdir -p "$work/www" "$work/qn"
make_document $((20 * 1024)) "$work/www/README.md"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
cp "$build/quillnest" "$work/qn/quillnest"
printf 'root=%s\r\nport=%s\r\nview_md=1\r\n' "$work/www" "$port" > "$work/qn/quillnest.ini"
"$work/qn/quillnest" >/dev/null 2>&1 </dev/null &
qn_pid=$!
for _ in $(seq 1 500); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.01
done

rps() { # path
  local out
  out=$(wrk -t2 -c8 -d"${seconds}s" -H "Connection: keep-alive" "http://127.0.0.1:$port$1" 2>&1)
  if grep -q "Non-2xx" <<<"$out"; then echo "failed"; return; fi
  awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out"
}
printf '%-52s %12s\n' "20 KiB README, 8 keep-alive connections (req/s)" ""
printf '%-52s %12s\n' "  /README.md?view (rendered)" "$(rps /README.md?view)"
printf '%-52s %12s\n' "  /README.md (as it is)" "$(rps /README.md)"
