#!/usr/bin/env bash
# Checks of the tree beside the tests: the Unicode tables regenerate
# byte-identical, ruff finds nothing in the Python sources, the C++ sources
# are formatted, and clang-tidy finds nothing in the common, turnmend and
# schemasift sources.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# The tables follow the Unicode data of the Python that writes them (3.11:
# Unicode 14.0.0).
tables=$(mktemp)
trap 'rm -f "$tables" "$tables.log"' EXIT
if ! "$python" tools/gen_unicode_tables.py >"$tables" 2>"$tables.log"; then
  cat "$tables.log" >&2
  exit 1
fi
if ! cmp -s "$tables" common/unicode_tables.cpp; then
  unicode=$("$python" -c 'import unicodedata; print(unicodedata.unidata_version)')
  echo "common/unicode_tables.cpp is not what tools/gen_unicode_tables.py writes" \
    "with $("$python" --version) (Unicode $unicode)" >&2
  exit 1
fi
echo "unicode tables: regenerate byte-identical"

ruff check --no-cache python bench tests tools

# C++ sources follow .clang-format (clang-format 14, from the test extras);
# the generated tables are left as their generator writes them.
find common turnmend schemasift bindings examples bench tests \( -name '*.cpp' -o -name '*.h' \) \
    ! -path common/unicode_tables.cpp -print0 |
  xargs -0 clang-format --dry-run --Werror
echo "clang-format: the C++ sources are formatted"

# A .clang-tidy that does not parse would fall back to the default checks.
if clang-tidy --dump-config 2>&1 >/dev/null | grep -q .; then
  echo ".clang-tidy does not parse" >&2
  exit 1
fi
# clang-tidy reads the compile commands of a configured (not built) tree.
cmake -S . -B build/tidy "${generator[@]}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DTESSARIN_BUILD_EXAMPLES=OFF >/dev/null
printf '%s\n' turnmend/*.cpp common/*.cpp schemasift/*.cpp |
  xargs -P2 -n1 clang-tidy -p build/tidy --quiet 2> >(grep -v 'warnings generated' >&2)
echo "clang-tidy: turnmend, schemasift and common are clean"
