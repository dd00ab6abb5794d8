#!/usr/bin/env bash
# The result page with 100,000 found files (bench/ui_bench.cpp) over a release
# build with the desktop application: bench/ui_browser.sh BUILD_DIR [FILES]
# [IMAGE]. make bench builds without it, so a tree of its own is made beside
# BUILD_DIR (BUILD_DIR-ui) the first time. Time to the first paint, scrolling,
# search, sort and memory, beside a plain table of the same rows in the same
# run. With IMAGE (bench/scale.sh's million-file FAT32 volume, say), also the
# application over IMAGE presented as a disk: its scan to the result page and
# its peak memory, beside the same deep scan and listing by tarnwick-cli and a
# hot `cat` of the image.
# shellcheck source=bench/lib_bench.sh
source "$(dirname "$0")/lib_bench.sh"
tree=${1:-build-bench}-ui
if [ ! -f "$tree/build.ninja" ]; then
  cmake -S "$here/.." -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_SANITIZE=OFF \
    -DTARNWICK_FUZZ=OFF >/dev/null
fi
cmake --build "$tree" -j "${JOBS:-2}" --target tarnwick_bench_ui tarnwick-cli >/dev/null
bench_start "$tree" bench/tarnwick_bench_ui cli/tarnwick-cli
"$build/bench/tarnwick_bench_ui" "${2:-100000}"
[ -n "${3:-}" ] || exit 0
image=$(realpath "$3")
echo
echo "the application over $(basename "$image") ($(du -h --apparent-size "$image" | cut -f1))"
read -r cat_s _ < <(cat_hot "$image")
read -r cli_s cli_kb < <(measure "$cli" scan "$image" --list)
cli_n=$(($(wc -l <"$out/stdout.txt") - 1))
read -r app_s app_kb < <(measure "$build/bench/tarnwick_bench_ui" card "$image")
cat "$out/stdout.txt"
printf '%-44s %9s %10s %8s\n' "" seconds "peak KiB" "x cat" \
  "plain read (cat image > /dev/null, hot)" "$cat_s" - 1.00 \
  "tarnwick-cli scan IMAGE --list ($cli_n files)" "$cli_s" "$cli_kb" "$(ratio "$cli_s" "$cat_s")" \
  "application: scan, result page, list, scroll" "$app_s" "$app_kb" "$(ratio "$app_s" "$cat_s")"
