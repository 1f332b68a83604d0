#!/usr/bin/env bash
# Every test: unit tests, the same and the transport tests under ASan+UBSan, the concurrent parts
# under TSan, and the end-to-end tests against a real ActiveMQ broker.
set -euo pipefail
cd "$(dirname "$0")"
root="$(pwd)"
jobs=$(nproc)

./scripts/setup.sh

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs"
}

echo "== code style (.clang-format)"
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$root" ls-files -z '*.cpp' '*.h' | (cd "$root" && xargs -0 clang-format --dry-run --Werror)
fi
echo "== build"
build build
echo "== unit, broker and end-to-end tests"
ctest --test-dir build --output-on-failure -j "$jobs" -LE 'broker|e2e'
ctest --test-dir build --output-on-failure -L 'broker|e2e'

echo "== unit and transport tests under AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DMQB_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs" -L 'unit|transport'

echo "== concurrent parts under ThreadSanitizer"
build build-tsan -DMQB_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L tsan
