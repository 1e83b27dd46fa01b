#!/usr/bin/env bash
# Shows tovupdtr at work on the example design tree (examples/): copies the
# tree to a temporary folder, builds the program if needed, runs it there and
# prints a unified diff of what it changed; then, on another copy, does the
# whole job of a library copy in one command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVUPDTR_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja > /dev/null
fi
cmake --build "$build" --target tovupdtr > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$root/examples" "$work/before"
cp -R "$root/examples" "$work/after"

cd "$work/after"
echo "oldLib was copied to newLib, and its cells inv and nand2 renamed inv_x1 and nand2_x1."
echo "From-to list (rename.ftl):"; sed 's/^/    /' rename.ftl
echo "Files to fix (update.list):"; sed 's/^/    /' update.list
echo
echo "\$ tovupdtr -fromToList rename.ftl -updateFileList update.list -murlib lib.defs -reason rename"
status=0
"$build/cli/tovupdtr" -fromToList rename.ftl -updateFileList update.list \
  -murlib lib.defs -reason rename || status=$?
echo
echo "What changed:"
cd "$work"
diff -ru before after || true

# The whole job in one command: copy a library under a new name, rename
# cells in the copy, add it to the definitions and fix its files.
cp -R "$root/examples" "$work/whole"
cd "$work/whole"
echo
echo "The whole job in one command: oldLib copied to myLib, its cells renamed."
echo "From-to list (copy.ftl):"; sed 's/^/    /' copy.ftl
echo
echo "\$ tovupdtr -fromToList copy.ftl -murlib lib.defs -reason copy -copyLibrary oldLib myLib libs/myLib"
"$build/cli/tovupdtr" -fromToList copy.ftl -murlib lib.defs -reason copy \
  -copyLibrary oldLib myLib libs/myLib || status=$?
echo
echo "The new library's files:"
(cd libs && find myLib -type f | LC_ALL=C sort | sed 's/^/    /')
echo "Its definition: $(grep myLib lib.defs)"
echo "libs/myLib/inv_x2/schematic/netlist.v:"
sed 's/^/    /' libs/myLib/inv_x2/schematic/netlist.v
exit $status
