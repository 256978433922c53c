#!/usr/bin/env bash
# Runs every test suite: the C++ tests in a release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the Python tests against
# the installed package. TESSARIN_WERROR=ON turns compiler warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."

# System packages, checked before anything is built: installed with apt-get
# when running as root, otherwise the run stops with the command to run.
missing=()
prefixes=${CMAKE_PREFIX_PATH:-}
gtest_found=false
for prefix in /usr /usr/local ${prefixes//:/ }; do
  if [[ -f $prefix/include/gtest/gtest.h ]]; then gtest_found=true; fi
done
$gtest_found || missing+=(libgtest-dev)
command -v c++ >/dev/null || command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)  # tools/check_tree.sh
# tools/run_fuzz.sh: clang with libFuzzer and the sanitizer runtimes
command -v clang++ >/dev/null || command -v clang++-14 >/dev/null || missing+=(clang libclang-rt-dev)
if ((${#missing[@]})); then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    echo "installing missing system packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing system packages: ${missing[*]}. Install them, then run this again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

# mypy checks the type stubs against the installed package (at the end).
python -c 'import mypy.stubtest' 2>/dev/null || python -m pip install -q mypy==2.4.1

werror=${TESSARIN_WERROR:-OFF}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

run_cpp_tests() {  # build-dir sanitize build-type
  cmake -S . -B "$1" "${generator[@]}" -DTESSARIN_BUILD_TESTS=ON -DTESSARIN_BUILD_EXAMPLES=ON \
    -DTESSARIN_SANITIZE="$2" -DTESSARIN_WERROR="$werror" -DCMAKE_BUILD_TYPE="$3" >/dev/null
  cmake --build "$1" -j2
  ctest --test-dir "$1" --output-on-failure --no-tests=error -j2
}

run_cpp_tests build/tests-release OFF Release
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_cpp_tests build/tests-sanitize ON RelWithDebInfo

# Downstream CMake projects: find_package after install, and add_subdirectory.
cmake --install build/tests-release --prefix build/install >/dev/null
cmake -S tests/consumer -B build/consumer-installed "${generator[@]}" \
  -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null
cmake --build build/consumer-installed && build/consumer-installed/consumer
cmake -S tests/consumer -B build/consumer-subdir "${generator[@]}" -DTESSARIN_SOURCE_DIR="$PWD" >/dev/null
cmake --build build/consumer-subdir && build/consumer-subdir/consumer
for internal in schemasift/selector_internal.h common/regex_internal.h; do
  if [[ -e build/install/include/tessarin/$internal ]]; then
    echo "internal header installed: $internal" >&2
    exit 1
  fi
done
echo "downstream CMake projects: find_package and add_subdirectory both link"

# The C++ example prints what the command line prints.
question="average score of students in each department"
for format in summary json; do
  flag=(); [[ $format == json ]] && flag=(--json)
  cmp <(build/consumer-installed/consumer_catalog_select tests/consumer/catalog.json \
          "$question" --top-k 2 "${flag[@]}") \
      <(python -m tessarin.schemasift select tests/consumer/catalog.json "$question" \
          --top-k 2 --format $format)
done
echo "C++ example: the same selection as the command line"

# The C++ demonstration programs print the same bytes as the Python ones.
for demo in turnmend schemasift; do
  cmp <(build/tests-release/${demo}_demo) <(python -m tessarin.$demo)
done
echo "demonstrations: C++ and Python print the same bytes"

tools/check_tree.sh  # Unicode tables, ruff, clang-tidy
tools/run_fuzz.sh  # the fuzz targets, for a few minutes
tools/run_tsan.sh  # the C++ tests under ThreadSanitizer

# Run from tests/ so the source tree's python/ folder cannot shadow the
# installed package.
cd tests
# The type stubs match the installed package: names, signatures, defaults.
python -m mypy.stubtest tessarin --allowlist ../tools/stubtest-allowlist.txt
python -m pytest -c ../pyproject.toml --rootdir .. python
