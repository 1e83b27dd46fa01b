#!/usr/bin/env bash
# Checks the #include lines of the library and the program against the
# layers of the library.
#
# Usage: scripts/check-layers.sh [--root DIR] LAYER...
#   Each LAYER is a folder of src/ (services stands for every folder below
#   src/services), lowest first; folders joined by '+' (lcv+args) form one
#   layer whose folders may not use each other.  The build passes the
#   layers from the one list that also links the object libraries
#   (TOV_LAYERS in CMakeLists.txt).
#
# Rules:
#   - a file of src/ may include the headers of its own folder and of the
#     folders of lower layers, nothing above and no sibling folder;
#   - the public header (tovUpdtr.h, tovUpdtr_version.h) is the core's and of
#     the layers above it: the platform and the services do not use it;
#   - a file of cli/ includes only the public header and the headers of cli/.
# Prints each breach as "file:line: reason" and exits 1 when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" = "--root" ]; then
  root=$2
  shift 2
fi
[ $# -gt 0 ] || { echo "usage: $0 [--root DIR] LAYER..." >&2; exit 2; }

# The rank of every folder: its layer's place in the list.
declare -A rank
n=0
for layer in "$@"; do
  IFS=+ read -r -a folders <<< "$layer"
  for folder in "${folders[@]}"; do rank[$folder]=$n; done
  n=$((n + 1))
done
[ -n "${rank[core]:-}" ] || { echo "$0: no core layer given" >&2; exit 2; }

status=0
breach() {
  echo "$1: $2"
  status=1
}

# The folder of a path below src/: its first component, services for any
# path below src/services.
folder_of() {
  echo "${1%%/*}"
}

# "line:header" for every #include "header" of a file.
includes() {
  grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$1" |
    sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/' || true
}

public_header() {
  [ "$1" = tovUpdtr.h ] || [ "$1" = tovUpdtr_version.h ]
}

while IFS= read -r file; do
  rel=${file#"$root"/src/}
  own=$(folder_of "$rel")
  own_rank=${rank[$own]:-}
  if [ -z "$own_rank" ]; then
    breach "src/$rel" "folder $own is in no layer"
    continue
  fi
  while IFS=: read -r line header; do
    if public_header "$header"; then
      [ "$own_rank" -ge "${rank[core]}" ] ||
        breach "src/$rel:$line" "$own uses the public header $header"
      continue
    fi
    used=$(folder_of "$header")
    used_rank=${rank[$used]:-}
    if [ "$used" = "$own" ]; then
      continue
    elif [ -z "$used_rank" ]; then
      breach "src/$rel:$line" "$header is in no layer"
    elif [ "$used_rank" -ge "$own_rank" ]; then
      breach "src/$rel:$line" "$own may not use $used ($header)"
    fi
  done < <(includes "$file")
done < <(find "$root/src" -type f \( -name '*.cc' -o -name '*.h' \) | sort)

while IFS= read -r file; do
  rel=${file#"$root"/}
  while IFS=: read -r line header; do
    public_header "$header" && continue
    [ -f "$root/cli/$header" ] && continue
    breach "$rel:$line" "the program uses $header, not the public header"
  done < <(includes "$file")
done < <(find "$root/cli" -type f \( -name '*.cc' -o -name '*.h' \) | sort)

[ $status -eq 0 ] && echo "includes follow the layers: $*"
exit $status
