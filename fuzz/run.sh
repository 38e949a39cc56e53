#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it on a copy of its seed
# inputs for a number of seconds. Exits non-zero when the target found a crash,
# a leak or a broken check; the input that did it is kept in the build folder.
#
#   fuzz/run.sh TARGET SECONDS      e.g. fuzz/run.sh fuzz_parse_request 60
#
# The build folder is $QN_FUZZ_BUILD, or build-fuzz in the project root.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET SECONDS" >&2
  exit 2
fi
target=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QN_FUZZ_BUILD:-$root/build-fuzz}
seeds=$root/fuzz/corpus/${target#fuzz_}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQN_FUZZ=ON -DQN_TESTS=OFF -DQN_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "$target"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
if [ -d "$seeds" ]; then
  cp -R "$seeds/." "$work/corpus/"
fi

# libFuzzer exits non-zero on anything it finds.
"$build/fuzz/$target" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
                 -artifact_prefix="$build/$target-" -print_final_stats=1 "$work/corpus"
