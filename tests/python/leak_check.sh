#!/bin/sh
# Runs a command under LeakSanitizer and fails for leaks the library made, and only those: the
# interpreter leaves its own objects unfreed at exit. A leak is ours when a frame of its stack
# lies in our sources.
#   leak_check.sh <source dir> <command...>
src=$1
shift
report=$(mktemp)
trap 'rm -f "$report"' EXIT
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:exitcode=0" "$@" 2>"$report"
rc=$?
cat "$report" >&2
if awk -v src="$src/" '/^(Direct|Indirect) leak/ { leak = 1; next }
                       /^$/ { leak = 0 }
                       leak && index($0, src) && !index($0, src "tests/") { found = 1 }
                       END { exit !found }' "$report"; then
  echo "leak_check: the library leaked (stacks above)" >&2
  exit 1
fi
exit $rc
