#!/usr/bin/env bash
# Incremental development build: compiles both extension modules into build/dev and links
# them into python/halcyra_pqc, so `PYTHONPATH=python .venv/bin/python` imports the tree.
# A lock serialises concurrent builds of the same directory.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build/dev"
mkdir -p "$build"
exec 9>"$build.lock"
flock 9
if [ ! -f "$build/build.ninja" ]; then
    PATH="$here/.venv/bin:$PATH" cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$here/.venv/bin/python" >/dev/null
fi
PATH="$here/.venv/bin:$PATH" cmake --build "$build"
for lib in "$build"/*.so; do
    ln -sf "$lib" "$here/python/halcyra_pqc/$(basename "$lib")"
done
