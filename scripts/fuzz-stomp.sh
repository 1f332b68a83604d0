#!/usr/bin/env bash
# Builds the STOMP protocol core's libFuzzer target with clang (ASan + UBSan)
# and runs it for a bounded time.
#   scripts/fuzz-stomp.sh [SECONDS]     default 60
# The corpus grows in var/fuzz/stomp/corpus (seeded from tests/stomp/fuzz/seeds);
# crashing inputs land in var/fuzz/stomp/ as crash-*, and the exit status is
# libFuzzer's (0 when nothing was found).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: fuzz-stomp.sh [SECONDS]" >&2; exit 2; }
work="${MQB_VAR:-$root/var}/fuzz/stomp"
mkdir -p "$work/corpus"
command -v clang++ >/dev/null || { echo "fuzz-stomp: clang++ is missing; run scripts/setup.sh" >&2; exit 1; }

# The target builds from the stomp_core CMake target, so its sources are
# whatever that target holds.
build="$work/build"
echo "fuzz-stomp: building $build/stomp_decoder_fuzz"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DMQB_PARTS=stomp -DMQB_STOMP_FUZZ=ON -DMQB_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --target stomp_decoder_fuzz -j "$(nproc)"
cp "$(find "$build" -name stomp_decoder_fuzz -type f -perm -u+x | head -n1)" "$work/decoder-fuzz"

cp -n "$root"/tests/stomp/fuzz/seeds/* "$work/corpus/" 2>/dev/null || true
echo "fuzz-stomp: running for ${seconds}s"
cd "$work"
exec ./decoder-fuzz -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$work/" corpus
