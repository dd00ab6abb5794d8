#!/usr/bin/env bash
# The result page with 100,000 found files (bench/ui_bench.cpp) over a release
# build with the desktop application: bench/ui_browser.sh BUILD_DIR [FILES].
# make bench builds without it, so a tree of its own is made beside BUILD_DIR
# (BUILD_DIR-ui) the first time. Time to the first paint, scrolling, search,
# sort and memory, beside a plain table of the same rows in the same run.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
tree=${1:-build-bench}-ui
if [ ! -f "$tree/build.ninja" ]; then
  cmake -S "$here/.." -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_SANITIZE=OFF \
    -DTARNWICK_FUZZ=OFF >/dev/null
fi
cmake --build "$tree" -j "${JOBS:-2}" --target tarnwick_bench_ui >/dev/null
bench_start "$tree" bench/tarnwick_bench_ui
"$build/bench/tarnwick_bench_ui" "${2:-100000}"
