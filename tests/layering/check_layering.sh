#!/bin/sh
# Refuses a source tree where a lower folder includes a higher one.
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

status=0
for dir in common device engine fat ntfs carving exfat ext deepscan cli ui; do
  [ -d "$root/$dir" ] || continue
  own=$(level "$dir")
  # Every include of a layer folder, as "file:line:folder".
  found=$(grep -rnoE --include='*.h' --include='*.cpp' --include='*.hpp' --include='*.cc' \
            '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<](\.\./)*[a-z]+/' "$root/$dir" |
          sed -E 's#^([^:]*:[0-9]+):.*["<](\.\./)*([a-z]+)/$#\1:\3#')
  for hit in $found; do
    target=${hit##*:}
    other=$(level "$target")
    [ -n "$other" ] || continue
    if [ "$other" -gt "$own" ]; then
      echo "layering: ${hit%:*} ($dir) includes $target/, a higher layer" >&2
      status=1
    fi
  done
done
[ $status = 0 ] && echo "layering: no folder includes a higher one"
exit $status
