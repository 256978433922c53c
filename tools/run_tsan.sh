#!/usr/bin/env bash
# Builds the C++ tests under ThreadSanitizer and runs them (the tests that
# share patterns and resolvers across threads are the ones it checks).
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/tests-tsan "${generator[@]}" -DTESSARIN_BUILD_TESTS=ON \
  -DTESSARIN_BUILD_EXAMPLES=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build/tests-tsan -j2
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tests-tsan --output-on-failure --no-tests=error -j2
