#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/asan and runs the test suite against that build:
#     bash scripts/sanitize.sh [pytest args...]
# Python itself is not instrumented, so the ASan runtime is preloaded; leak
# detection is off because the interpreter keeps objects alive at exit. A failed
# allocation returns null (so it raises MemoryError) instead of aborting: the
# tests check what the engine makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/asan
if [ ! -f "$dir/build.ninja" ] && [ ! -f "$dir/Makefile" ]; then
  gen=()
  command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
  cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORIN_SANITIZE=ON >/dev/null
fi
cmake --build "$dir" -j2
pkg="$dir/pkg"
rm -rf "$pkg"
mkdir -p "$pkg"
cp -r python/qorin "$pkg/qorin"
rm -f "$pkg"/qorin/*.so
cp "$dir"/_engine_rs*.so "$dir"/_engine_testing*.so "$pkg/qorin/"

site=$(python -c 'import numpy, os; print(os.path.dirname(os.path.dirname(numpy.__file__)))')
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# -S skips site initialisation so that an editable install of qorin cannot shadow
# the sanitized build; site-packages is put on the path by hand instead.
LD_PRELOAD="$preload" \
QORIN_SANITIZED=1 \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$pkg:$site" \
  python -S -m pytest -p no:cacheprovider "$@"
