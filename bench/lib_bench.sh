# shellcheck shell=bash disable=SC2034  # here, build, cli and out serve the scripts
# What every benchmark script shares (sourced): the build tree and its
# programs, images built once and cached, the rival tools, and the figures:
# wall time and peak memory of a command from /usr/bin/time, the plain read of
# the image they are set against (`cat image > /dev/null`), and their ratios.
set -euo pipefail
shopt -s inherit_errexit
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # bench/
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

# bench_start BUILD_DIR PROGRAM...: build is BUILD_DIR (build-bench by
# default) made absolute, cli its tarnwick-cli; each PROGRAM (a path in the
# build tree) must be built. out is a scratch folder removed at exit, holding
# the application-support folder the runs write into (TARNWICK_SUPPORT_DIR).
bench_start() {
  local name p
  name=$(basename "$0" .sh)
  build=$(cd "${1:-build-bench}" 2>/dev/null && pwd) ||
    { echo "$name: no build tree ${1:-build-bench} (make bench makes one)" >&2; exit 1; }
  shift
  for p in "$@"; do
    [ -x "$build/$p" ] || { echo "$name: $build/$p is not built (make bench builds it)" >&2; exit 1; }
  done
  cli="$build/cli/tarnwick-cli"
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  export TARNWICK_SUPPORT_DIR="$out/support"
  mkdir -p "$TARNWICK_SUPPORT_DIR/ScanLog"
}

# cached STAMP BUILDER [FILE...]: runs the shell function BUILDER unless STAMP
# holds the checksum of BUILDER's text and of the FILEs it reads, then writes
# that checksum: an image is rebuilt only when the way it is built changes.
# BUILDER runs in a subshell, after STAMP's folder is made, and is given a
# scratch folder, removed when it ends.
cached() {
  local stamp=$1 builder=$2 sum
  shift 2
  sum=$( (declare -f "$builder"; [ $# = 0 ] || cat "$@") | sha1sum | cut -d' ' -f1)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ]; then return 0; fi
  mkdir -p "$(dirname "$stamp")"
  (
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    "$builder" "$work"
  )
  echo "$sum" >"$stamp"
}

# rival PROGRAM PACKAGE: true when PROGRAM is there; as root the Debian
# PACKAGE is installed first when it is missing.
rival() {
  command -v "$1" >/dev/null 2>&1 && return 0
  [ "$(id -u)" = 0 ] || return 1
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2"; } \
    >/dev/null 2>&1 || true
  command -v "$1" >/dev/null 2>&1
}

# measure COMMAND...: runs COMMAND under /usr/bin/time -v with its output in
# $out/stdout.txt and prints its wall seconds and peak resident KiB. An exit
# status above measure_ok (0 by default; 1 where a recovery that could not
# save every file still counts) ends the benchmark with the command's errors.
measure() {
  local status=0
  /usr/bin/time -v "$@" >"$out/stdout.txt" 2>"$out/time.txt" || status=$?
  if [ "$status" -gt "${measure_ok:-0}" ]; then
    echo "failed ($status): $*" >&2
    cat "$out/time.txt" >&2
    exit 1
  fi
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]}
              /Maximum resident set size/ {kb = $2}
              END {print s, kb}' "$out/time.txt"
}

# drop_cache: empties the page cache; false where that is not allowed.
drop_cache() { sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; }
# cat_hot IMAGE, cat_cold IMAGE: measure of the plain read of IMAGE from the
# page cache (read once before) or from the disk (the cache dropped first).
# shellcheck disable=SC2016  # sh expands $0, the image
cat_hot() {
  cat "$1" >/dev/null
  measure sh -c 'cat "$0" > /dev/null' "$1"
}
# shellcheck disable=SC2016
cat_cold() {
  drop_cache
  measure sh -c 'cat "$0" > /dev/null' "$1"
}

# ratio A B [PLACES]: A / B with PLACES decimals (2 by default); "n/a" when B
# is not above zero or A is no figure.
ratio() {
  awk -v a="$1" -v b="$2" -v p="${3:-2}" \
    'BEGIN { if (b > 0 && a ~ /^[0-9.]+$/) printf "%.*f", p, a / b; else print "n/a" }'
}
