#!/usr/bin/env bash
# Checks a built tovUpdtr.dll:
#   - its export table holds exactly the names the public header declares,
#     undecorated (no leading underscore, no @N of a stdcall name), and
#     nothing else;
#   - it imports system DLLs only (the compiler's run-time is linked in, so
#     no libstdc++-6.dll, libgcc_s_*.dll or libwinpthread-1.dll must be
#     copied beside it);
#   - its DllMain, the one the C run-time's entry point calls on attach, is
#     the library's own, which calls DisableThreadLibraryCalls (MinGW's
#     default DllMain would do nothing).
# Usage: scripts/check-dll-exports.sh [--objdump PROGRAM] tovUpdtr.dll
#                                     [include/tovUpdtr.h]
# The objdump defaults to the MinGW one of the DLL's machine.
set -euo pipefail
objdump=""
if [ "${1:-}" = "--objdump" ]; then
  objdump=$2
  shift 2
fi
dll=$1
header=${2:-"$(dirname "$0")/../include/tovUpdtr.h"}

if [ -z "$objdump" ]; then
  case "$(x86_64-w64-mingw32-objdump -f "$dll" 2>/dev/null)" in
    *pei-x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
    *pei-i386*) objdump=i686-w64-mingw32-objdump ;;
    *) echo "$dll: not a Windows DLL that MinGW's objdump reads"; exit 1 ;;
  esac
fi
private=$("$objdump" -p "$dll")

# Names declared with TOVUPDTR_API: the identifier before the first '(' or '['
# of the declaration (which may span lines).
declared=$(awk '/TOVUPDTR_API/ && !/define/ {decl=""; on=1}
                on {decl = decl $0; if (decl ~ /[(\[]/) {
                      sub(/[(\[].*/, "", decl); n = split(decl, w, /[ *]+/);
                      print w[n]; on=0 }}' "$header" | sort -u)
# The name pointer table of the export directory: "[   3] name".
exported=$(echo "$private" |
           awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next}
                on && /^[ \t]*\[ *[0-9]+\]/ {print $NF; next}
                on {on=0}' | sort -u)

status=0
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -z "$exported" ]; then echo "no export table found"; status=1; fi
if [ -n "$missing" ]; then echo "declared but not exported:"; echo "$missing"; status=1; fi
if [ -n "$extra" ]; then echo "exported but not declared (or decorated):"; echo "$extra"; status=1; fi

# Imported DLLs, and the functions taken from KERNEL32.
imports=$(echo "$private" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
foreign=$(echo "$imports" |
          grep -v -E '^(kernel32|msvcrt|advapi32|user32|ntdll|ucrtbase|api-ms-win-.*)\.dll$' ||
          true)
if [ -n "$foreign" ]; then
  echo "imports DLLs that are not part of Windows:"; echo "$foreign"; status=1
fi
if ! grep -q -E '[[:space:]]DisableThreadLibraryCalls$' <<< "$private"; then
  echo "DisableThreadLibraryCalls is not imported"; status=1
fi

# The body of DllMain (DllMain on 64-bit, _DllMain@12 on 32-bit Windows)
# calls DisableThreadLibraryCalls through its slot of the import address
# table: by the slot's name (64-bit) or by its address (32-bit), which is
# the slot symbol's value plus the address of its section.
body=$("$objdump" -d --no-show-raw-insn "$dll" |
       awk '/^[0-9a-f]+ <(DllMain|_DllMain@12)>:$/ {on=1; next}
            on && /^$/ {on=0} on {print}')
slot=$("$objdump" -t "$dll" |
       awk '/ __imp__?DisableThreadLibraryCalls(@4)?$/ {
              sub(/.*\(sec +/, "", $0); split($0, f, /[) ]+/);
              print f[1], $(NF - 1) }')
slot_address=""
if [ -n "$slot" ]; then
  read -r section value <<< "$slot"
  vma=$("$objdump" -h "$dll" | awk -v idx=$((section - 1)) '$1 == idx {print $4}')
  [ -z "$vma" ] || slot_address=$(printf '%x' $((0x$vma + value)))
fi
if [ -z "$body" ]; then
  echo "no DllMain in the symbol table (a stripped DLL cannot be checked)"
  status=1
elif ! grep -q -E "DisableThreadLibraryCalls|\*0x0*${slot_address:-none}\b" \
          <<< "$body"; then
  echo "DllMain does not call DisableThreadLibraryCalls (MinGW's default one?)"
  status=1
fi

if [ $status -eq 0 ]; then
  echo "exports match the header: $(echo "$declared" | wc -l) names;" \
       "imports: $(echo $imports); DllMain calls DisableThreadLibraryCalls"
fi
exit $status
