#!/usr/bin/env bash
# Incremental developer build without installing: compiles both extension
# modules into build/dev (or $1) and drops them next to the Python sources, so
# `PYTHONPATH=python pytest` runs against the fresh build.
# Extra CMake arguments may follow the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}
shift || true
if [ ! -f "$dir/build.ninja" ] && [ ! -f "$dir/Makefile" ]; then
  gen=()
  command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
  cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
fi
cmake --build "$dir" -j2
cp "$dir"/_engine_rs*.so "$dir"/_engine_testing*.so python/qorin/
