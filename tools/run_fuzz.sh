#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs each for a bounded time on its seed
# corpus. FUZZ_SECONDS sets the time per target (default 45); new inputs go to
# build/fuzz/corpus/<target>, crashes to build/fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-45}
cxx=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || true)}
[[ -n "$cxx" ]] || { echo "run_fuzz.sh: clang++ not found" >&2; exit 1; }
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

cmake -S tests/fuzz -B build/fuzz "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2

mkdir -p build/fuzz/crashes
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in json regex catalog card prepared; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  log=build/fuzz/$target.log
  if ! build/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/crashes/$target- \
      "$corpus" tests/fuzz/corpus/$target >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz target $target failed; the input is in build/fuzz/crashes/" >&2
    exit 1
  fi
  grep -E "^Done" "$log"
done
echo "fuzzing: no crash"
