#!/bin/sh
# Refuses a source tree where a lower folder includes a higher one, or where
# includes run in a circle on one floor: between folders (fat/ -> carving/ ->
# fat/) or between files (a file's .h and .cpp count as one, so a.cpp ->
# b.h and b.cpp -> a.h is a circle).
# Layers, lowest first: common, device, engine, fat/ntfs/carving/exfat/ext,
# deepscan, cli/ui. A folder may include its own layer and those below it.
# Usage: check_layering.sh [source root]  (default: the repository root)
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

level() {
  case $1 in
    common) echo 0 ;;
    device) echo 1 ;;
    engine) echo 2 ;;
    fat | ntfs | carving | exfat | ext) echo 3 ;;
    deepscan) echo 4 ;;
    cli | ui) echo 5 ;;
    *) echo "" ;;
  esac
}

# Circles on one floor that are known and being taken apart, as
# "from-file to-file" (without extension); each edge named here is left out
# of the circle test. Empty when there are none.
known_edges=""

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
for dir in common device engine fat ntfs carving exfat ext deepscan cli ui; do
  [ -d "$root/$dir" ] || continue
  own=$(level "$dir")
  # Every include of a layer folder, as "file:line:folder/path".
  found=$(cd "$root" &&
          grep -rnoE --include='*.h' --include='*.cpp' --include='*.hpp' --include='*.cc' \
            '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<](\.\./)*[a-z]+/[^">]*' "$dir" |
          sed -E 's#^([^:]*:[0-9]+):.*["<](\.\./)*([a-z]+/[^">]*)$#\1:\3#')
  for hit in $found; do
    path=${hit##*:}
    target=${path%%/*}
    other=$(level "$target")
    [ -n "$other" ] || continue
    if [ "$other" -gt "$own" ]; then
      echo "layering: ${hit%:*} ($dir) includes $target/, a higher layer" >&2
      status=1
    elif [ "$other" = "$own" ]; then
      file=${hit%%:*}
      [ "$target" = "$dir" ] || echo "$dir $target" >>"$tmp/folders"
      echo "${file%.*} ${path%.*}" >>"$tmp/files"
    fi
  done
done

# tsort names the members of each circle it meets.
circles() {
  [ -s "$1" ] || return 0
  awk -v known="$known_edges" '
    BEGIN { n = split(known, k, " "); for (i = 1; i < n; i += 2) skip[k[i] " " k[i + 1]] = 1 }
    $1 != $2 && !(($1 " " $2) in skip)' "$1" | sort -u >"$1.edges"
  tsort "$1.edges" 2>&1 >/dev/null | awk '
    /contains a loop/ { if (s != "") print s " -> " first; s = ""; next }
    { sub(/^tsort: /, ""); if (s == "") { s = $0; first = $0 } else s = s " -> " $0 }
    END { if (s != "") print s " -> " first }'
}
loop=$(circles "$tmp/folders")
if [ -n "$loop" ]; then
  echo "layering: folders of one floor include each other in a circle:" >&2
  echo "$loop" | sed 's/^/  /' >&2
  status=1
fi
loop=$(circles "$tmp/files")
if [ -n "$loop" ]; then
  echo "layering: files of one floor include each other in a circle:" >&2
  echo "$loop" | sed 's/^/  /' >&2
  status=1
fi
[ $status = 0 ] && echo "layering: no folder includes a higher one, no circles on a floor"
exit $status
