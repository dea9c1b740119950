#!/usr/bin/env bash
# scripts/demo, without installing or building, on the test's own domain for a few seconds:
# every line on standard output is one square as JSON, the three colours arrive, and they move.
#   demo_test.sh <source dir> <build dir> <Shapes.xml on the test's own domain>
set -uo pipefail
src=$1 build=$2 xml=$3
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$src/scripts/demo" --no-build --build "$build" --config "$xml" --seconds 4 >"$out" || { echo "FAIL: demo exited $?"; exit 1; }
lines=$(wc -l <"$out")
[ "$lines" -ge 30 ] || { echo "FAIL: only $lines lines"; cat "$out"; exit 1; }
bad=$(grep -cvE '^\{"color":"(RED|BLUE|GREEN)","x":-?[0-9]+,"y":-?[0-9]+,"shapesize":30\}$' "$out")
[ "$bad" = 0 ] || { echo "FAIL: $bad lines are not squares as JSON"; grep -vE '"shapesize":30\}$' "$out" | head; exit 1; }
for colour in RED BLUE GREEN; do
  positions=$(grep -F "\"$colour\"" "$out" | sort -u | wc -l)
  [ "$positions" -ge 5 ] || { echo "FAIL: $colour is at $positions places only"; exit 1; }
done
echo "demo: $lines squares as JSON, all three colours moving"
