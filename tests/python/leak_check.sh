#!/bin/sh
# Runs a command under LeakSanitizer and fails for leaks the library made, and only those: the
# interpreter leaves its own objects unfreed at exit. A leak is ours when a frame of its stack
# lies in our sources, unless V8 made the allocation itself (a JavaScript heap's page, allocated
# while a callback of ours ran JavaScript, is Node's to free).
#   leak_check.sh <source dir> <command...>
src=$1
shift
report=$(mktemp)
trap 'rm -f "$report"' EXIT
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:exitcode=0" "$@" 2>"$report"
rc=$?
cat "$report" >&2
if awk -v src="$src/" 'function close_block() { if (leak && ours && !v8) found = 1; leak = ours = v8 = 0 }
                       /^(Direct|Indirect) leak/ { close_block(); leak = 1; next }
                       /^$/ { close_block() }
                       leak && index($0, src) && !index($0, src "tests/") { ours = 1 }
                       leak && /^ +#1 .*v8::internal::/ { v8 = 1 }
                       END { close_block(); exit !found }' "$report"; then
  echo "leak_check: the library leaked (stacks above)" >&2
  exit 1
fi
exit $rc
