#!/usr/bin/env bash
# Checks that a built libtovUpdtr.so exports exactly what the public header
# declares: every declared name present, undecorated, and nothing else (the
# markers a sanitizer build adds aside).
# Usage: scripts/check-exports.sh path/to/libtovUpdtr.so [include/tovUpdtr.h]
set -euo pipefail
lib=$1
header=${2:-"$(dirname "$0")/../include/tovUpdtr.h"}

# Names declared with TOVUPDTR_API: the identifier before the first '(' or '['
# of the declaration (which may span lines).
declared=$(awk '/TOVUPDTR_API/ && !/define/ {decl=""; on=1}
                on {decl = decl $0; if (decl ~ /[(\[]/) {
                      sub(/[(\[].*/, "", decl); n = split(decl, w, /[ *]+/);
                      print w[n]; on=0 }}' "$header" | sort -u)
# Every defined dynamic symbol counts, weak and unique ones included (the
# code of templates instantiated in the library is weak).
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWuiv]$/ {print $3}' |
           grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' |
           grep -v -E '^__(odr_asan|asan|ubsan)' | sort -u)

status=0
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -n "$missing" ]; then echo "declared but not exported:"; echo "$missing"; status=1; fi
if [ -n "$extra" ]; then echo "exported but not declared:"; echo "$extra"; status=1; fi
[ $status -eq 0 ] && echo "exports match the header: $(echo "$declared" | wc -l) names"
exit $status
