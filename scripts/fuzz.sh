#!/usr/bin/env bash
# Runs every fuzz target for a bounded time each: the JSON request path
# (parse, record, reply: bench/fuzz), any other CMake target of the tree whose
# name ends in _fuzz, and the STOMP frame decoder's target through its own
# script (scripts/fuzz-stomp.sh). Built with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake targets in build-fuzz/).
#
#   scripts/fuzz.sh                 # 60 s per target
#   FUZZ_SECONDS=600 scripts/fuzz.sh
#   scripts/fuzz.sh request_path_fuzz     # only the named targets (stomp: the decoder)
#
# The request path starts from bench/fuzz/regressions and a corpus in
# var/fuzz/<target>/. A crash stops that target; its input is left in
# var/fuzz/<target>/ as crash-* and the script ends with status 1. Fix the
# fault and copy the input into bench/fuzz/regressions: the unit tests run
# every file kept there (the decoder's inputs go to tests/stomp/fuzz/seeds).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
seconds=${FUZZ_SECONDS:-60}
build="$root/build-fuzz"

./scripts/setup.sh

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DMQB_SANITIZE=address,undefined -DMQB_FUZZ=ON \
  -DMQB_PARTS="support;messages;stomp;bench" >/dev/null
cmake --build "$build" -j "$(nproc)" --target request_path_fuzz >/dev/null
# Other parts' targets, when they exist.
for t in $(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_]*_fuzz\)$/\1/p'); do
  [[ $t == request_path_fuzz ]] || cmake --build "$build" -j "$(nproc)" --target "$t" >/dev/null
done

mapfile -t targets < <(find "$build" -type f -executable -name '*_fuzz' | sort)
((${#targets[@]})) || { echo "fuzz.sh: no fuzz targets were built" >&2; exit 1; }

status=0
for exe in "${targets[@]}"; do
  name=$(basename "$exe")
  if (($#)) && [[ " $* " != *" $name "* ]]; then continue; fi
  work="$root/var/fuzz/$name"
  mkdir -p "$work/corpus"
  seeds=()
  if [[ $name == request_path_fuzz ]]; then
    seeds+=("$root/bench/fuzz/regressions")
  else
    while IFS= read -r d; do seeds+=("$d"); done < <(find "$root" -path "$root/build*" -prune -o \
      -type d -name regressions -path "*${name%_fuzz}*" -print 2>/dev/null)
  fi
  echo "== $name: $seconds s (corpus $work/corpus)"
  rc=0
  (cd "$work" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "${seeds[@]}" >"$work/fuzz.log" 2>&1) || rc=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/fuzz.log" || true
  if ((rc != 0)); then
    echo "fuzz.sh: $name found a failure (status $rc); input and log in $work/:" >&2
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null >&2 || true
    grep -m 5 -E 'ERROR|runtime error|request path' "$work/fuzz.log" >&2 || true
    status=1
  fi
done
mkdir -p "$root/var/fuzz"
if [[ -x scripts/fuzz-stomp.sh ]] && { (($# == 0)) || [[ " $* " == *" stomp "* ]]; }; then
  echo "== stomp frame decoder: $seconds s (scripts/fuzz-stomp.sh)"
  scripts/fuzz-stomp.sh "$seconds" >"$root/var/fuzz/stomp-decoder.log" 2>&1 || {
    echo "fuzz.sh: the STOMP decoder target found a failure; see var/fuzz/stomp-decoder.log and var/fuzz/stomp/" >&2
    status=1
  }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$root/var/fuzz/stomp-decoder.log" || true
fi
exit $status
