#!/usr/bin/env bash
# Sets a fresh machine up, builds everything and runs the whole test suite, then once more under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset default
cmake --build --preset default
ctest --preset default

if [ "${KESTRIX_SKIP_SANITIZE:-0}" != "1" ]; then
  cmake --preset sanitize
  cmake --build --preset sanitize
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset sanitize
fi
