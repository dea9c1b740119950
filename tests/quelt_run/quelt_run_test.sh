#!/usr/bin/env bash
# quelt-run from the command line: every wrong start exits 2 with one line that says what to
# fix; scripts run every period, failing runs are logged with file:line and the host goes on;
# an edited script is picked up; SIGTERM stops it cleanly; CONTEXT.json gives whole samples as JSON.
#   quelt_run_test.sh <quelt-run> <Shapes.xml on the test's own domain>
set -uo pipefail
run=$1 xml=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect_start <status> <text the output must hold> <arguments...>
expect_start() {
  local status=$1 text=$2; shift 2
  "$run" "$@" >"$tmp/out" 2>"$tmp/err"
  local rc=$?
  [ "$rc" = "$status" ] || fail "quelt-run $* exited $rc, not $status: $(cat "$tmp/err")"
  grep -qF -- "$text" "$tmp/out" "$tmp/err" || fail "quelt-run $*: no '$text' in: $(cat "$tmp/out" "$tmp/err")"
}

echo 'CONTAINER.CONTEXT.runs = (CONTAINER.CONTEXT.runs or 0) + 1' >"$tmp/ok.lua"
echo 'local x = = 1' >"$tmp/syntax.lua"
good=(--config "$xml" --participant ShapesLib::Shapes --script "$tmp/ok.lua")

expect_start 0 "--log-level" --help
for option in --config --participant --script --period --count --duration example:; do
  grep -qF -- "$option" "$tmp/out" || fail "--help does not explain $option"
done
expect_start 2 "unknown option '--colour'" "${good[@]}" --colour red
expect_start 2 "--period takes milliseconds" "${good[@]}" --period fast
expect_start 2 "--count or --duration, not both" "${good[@]}" --count 1 --duration 1
expect_start 2 "--log-level takes error, warning or all" "${good[@]}" --log-level loud
expect_start 2 "missing --script" --config "$xml" --participant ShapesLib::Shapes
expect_start 2 "cannot read the configuration file '$tmp/none.xml'" \
  --config "$tmp/none.xml" --participant ShapesLib::Shapes --script "$tmp/ok.lua"
expect_start 2 "cannot read the script file '$tmp/none.lua'" \
  --config "$xml" --participant ShapesLib::Shapes --script "$tmp/none.lua"
expect_start 2 "could not create 'ShapesLib::Nobody'" \
  --config "$xml" --participant ShapesLib::Nobody --script "$tmp/ok.lua"
expect_start 2 "syntax.lua:1:" --config "$xml" --participant ShapesLib::Shapes --script "$tmp/syntax.lua"
[ "$(wc -l <"$tmp/err")" = 1 ] || fail "a wrong start prints one line: $(cat "$tmp/err")"

# A script that fails at every run: each failure logged with file:line, and the count honoured.
cat >"$tmp/fails.lua" <<'LUA'
CONTAINER.CONTEXT.runs = (CONTAINER.CONTEXT.runs or 0) + 1
print("run " .. CONTAINER.CONTEXT.runs)
error("no such shape")
LUA
expect_start 0 "run 3" --config "$xml" --participant ShapesLib::Shapes --script "$tmp/fails.lua" --count 3 --period 10
[ "$(grep -c 'fails.lua:3: no such shape' "$tmp/err")" -ge 3 ] || fail "each failing run is logged: $(cat "$tmp/err")"
[ "$(grep -c '^run ' "$tmp/out")" = 3 ] || fail "--count 3 runs three times: $(cat "$tmp/out")"

# Whole samples as JSON from a script: the writer's instance, a received sample, and nil for
# anything else.
cat >"$tmp/json.lua" <<'LUA'
local C = CONTAINER
local writer, reader = C.WRITER["Pub::SquareWriter"], C.READER["Sub::SquareReader"]
writer.instance.color = "RED"
writer.instance.x = 7
print("instance " .. C.CONTEXT.json(writer.instance))
writer:write()
reader:take()
for _, sample in ipairs(reader.samples) do print("sample " .. C.CONTEXT.json(sample)) end
local kept = reader.samples[1]
reader:take()
if kept then print("after take " .. tostring(C.CONTEXT.json(kept))) end
print("other " .. tostring(C.CONTEXT.json(42)))
LUA
# Several runs: the reader may match the writer of its own participant only after the first.
expect_start 0 'instance {"color":"RED","x":7,"y":0,"shapesize":0}' "${good[@]/ok.lua/json.lua}" --count 20 --period 50
grep -qF 'sample {"color":"RED","x":7,"y":0,"shapesize":0}' "$tmp/out" || fail "received sample as JSON: $(cat "$tmp/out")"
grep -qF 'after take nil' "$tmp/out" || fail "a returned sample gives nil: $(cat "$tmp/out")"
grep -qF 'other nil' "$tmp/out" || fail "json(42) is nil: $(cat "$tmp/out")"
grep -qF 'expected a received sample' "$tmp/err" || fail "json(42) is logged: $(cat "$tmp/err")"

# Without a count or a duration it runs until SIGTERM, then deletes the connector and exits 0;
# an edit of the script is picked up while it runs.
echo 'print("version 1")' >"$tmp/edited.lua"
"$run" "${good[@]/ok.lua/edited.lua}" --period 50 >"$tmp/out" 2>"$tmp/err" &
pid=$!
sleep 2
echo 'print("version 2")' >"$tmp/edited.lua"
sleep 3
kill -TERM $pid
wait $pid
rc=$?
[ "$rc" = 0 ] || fail "SIGTERM: exit $rc: $(cat "$tmp/err")"
grep -q 'version 1' "$tmp/out" && grep -q 'version 2' "$tmp/out" || fail "the edit was not picked up: $(sort -u "$tmp/out")"

[ "$failures" = 0 ] && echo "quelt-run: all checks passed"
exit $((failures > 0))
