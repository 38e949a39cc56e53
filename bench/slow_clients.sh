#!/usr/bin/env bash
# Slow and idle clients against quillnest, with a normal client probing every
# 2 s; prints the share of probes answered within 2 s for each attack.
#
#   bash bench/slow_clients.sh [path/to/quillnest] [seconds per attack] [attack ...]
#
# Installs slowhttptest with apt-get when it is missing. About six minutes
# with the default 60 s per attack.
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root_dir/build/quillnest}
seconds=${2:-60}
shift $(( $# > 2 ? 2 : $# ))
if ! command -v slowhttptest >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq slowhttptest >/dev/null
fi
exec python3 "$root_dir/bench/slow_clients.py" "$binary" "$seconds" "$@"
