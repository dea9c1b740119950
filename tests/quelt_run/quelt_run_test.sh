#!/usr/bin/env bash
# quelt-run from the command line: every wrong start exits 2 with one line that says what to
# fix; scripts run every period, a failing run is led by a line of quelt-run's own (naming the
# writers that exist for an unknown one), a repeated error is counted, and the host goes on; an
# edited script is picked up; SIGTERM stops it cleanly, also in a script that never returns;
# --wait-match and --ack-timeout deliver a short publisher's sample; CONTEXT.json gives whole
# samples as JSON.
#   quelt_run_test.sh <quelt-run> <Shapes.xml on the test's own domain>
set -uo pipefail
run=$1 xml=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# wait_for <file> <text>: waits up to 10 s for the text to show in the file.
wait_for() { for _ in $(seq 100); do grep -qF -- "$2" "$1" && return 0; sleep 0.1; done; return 1; }

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
for option in --config --participant --script --period --count --duration --wait-match --match-timeout \
              --ack-timeout example:; do
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
expect_start 2 "--wait-match takes a whole number" "${good[@]}" --wait-match 1.5
expect_start 2 "not found in $xml; it has 'ShapesLib::ShapePublisher', 'ShapesLib::ShapeSubscriber'" \
  --config "$xml" --participant ShapesLib::Nobody --script "$tmp/ok.lua"
[ "$(wc -l <"$tmp/err")" = 1 ] || fail "a wrong start prints one line: $(cat "$tmp/err")"
expect_start 2 "syntax.lua:1:" --config "$xml" --participant ShapesLib::Shapes --script "$tmp/syntax.lua"
[ "$(wc -l <"$tmp/err")" = 1 ] || fail "a wrong start prints one line: $(cat "$tmp/err")"

# A script that fails at every run: each error is printed once, led by quelt-run's line, then
# how often it repeated; the count is honoured.
cat >"$tmp/fails.lua" <<'LUA'
CONTAINER.CONTEXT.runs = (CONTAINER.CONTEXT.runs or 0) + 1
print("run " .. CONTAINER.CONTEXT.runs)
error(CONTAINER.CONTEXT.runs < 4 and "no such shape" or "no such colour")
LUA
expect_start 0 "run 5" --config "$xml" --participant ShapesLib::Shapes --script "$tmp/fails.lua" --count 5 --period 10
head -1 "$tmp/err" | grep -q '^quelt-run: .*fails.lua:3: no such shape$' || fail "a leading line: $(cat "$tmp/err")"
[ "$(grep -c '^quelt-run: .*fails.lua:3: no such' "$tmp/err")" = 2 ] &&
  grep -q 'happened again in 2 more runs' "$tmp/err" && grep -q 'happened again in 1 more run$' "$tmp/err" ||
  fail "each error once, then its count: $(cat "$tmp/err")"
[ "$(grep -c '^run ' "$tmp/out")" = 5 ] || fail "--count 5 runs five times: $(cat "$tmp/out")"
printf 'local w = CONTAINER.WRITER["Pub::SquareWriterr"]\nw:write()\n' >"$tmp/typo.lua"
expect_start 0 "quelt-run: no writer named 'Pub::SquareWriterr'; the writers are 'Pub::SquareWriter'" \
  "${good[@]/ok.lua/typo.lua}" --count 1

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
echo 'print("version 1") io.stdout:flush()' >"$tmp/edited.lua"
"$run" "${good[@]/ok.lua/edited.lua}" --period 50 >"$tmp/out" 2>"$tmp/err" &
pid=$!
wait_for "$tmp/out" 'version 1' || fail "the first version never ran: $(cat "$tmp/err")"
# Dated two seconds ahead: an edit within the second of the first version still counts as one.
echo 'print("version 2") io.stdout:flush()' >"$tmp/edited.lua"
touch -d "@$(($(date +%s) + 2))" "$tmp/edited.lua"
wait_for "$tmp/out" 'version 2' || fail "the edit was not picked up: $(sort -u "$tmp/out")"
kill -TERM $pid
wait $pid
rc=$?
[ "$rc" = 0 ] || fail "SIGTERM: exit $rc: $(cat "$tmp/err")"

# A script that never returns: the first SIGTERM interrupts it, and quelt-run stops cleanly.
cat >"$tmp/spin.lua" <<'LUA'
io.stdout:write("spinning\n"); io.stdout:flush()
while true do pcall(function() while true do end end) end
LUA
"$run" "${good[@]/ok.lua/spin.lua}" >"$tmp/out" 2>"$tmp/err" &
pid=$!
wait_for "$tmp/out" spinning
kill -TERM $pid
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && { fail "SIGTERM did not stop a script that never returns"; kill -KILL $pid; }
wait $pid
rc=$?
[ "$rc" = 0 ] && grep -q 'spin.lua:2: interrupted by a stop signal' "$tmp/err" || fail "interrupted: exit $rc: $(cat "$tmp/err")"

# A short publisher on a domain of its own: without a reader --wait-match gives up; with one, the
# single sample arrives (matched before the run, acknowledged before the exit).
sed 's/domain_id="[0-9]*"/domain_id="180"/' "$xml" >"$tmp/pubsub.xml"
echo 'local w = CONTAINER.WRITER["Pub::SquareWriter"]; w.instance.color = "ORANGE"; w:write()' >"$tmp/pub.lua"
cat >"$tmp/sub.lua" <<'LUA'
local r = CONTAINER.READER["Sub::SquareReader"]
r:take()
for _, s in ipairs(r.samples) do print(CONTAINER.CONTEXT.json(s)) end
io.stdout:flush()
LUA
pub=(--config "$tmp/pubsub.xml" --participant ShapesLib::ShapePublisher --script "$tmp/pub.lua" --count 1)
expect_start 1 "writer 'Pub::SquareWriter' has 0 of 1 matched readers" "${pub[@]}" --wait-match 1 --match-timeout 0.3
"$run" --config "$tmp/pubsub.xml" --participant ShapesLib::ShapeSubscriber --script "$tmp/sub.lua" --period 20 \
  >"$tmp/sub.out" 2>&1 &
sub=$!
"$run" "${pub[@]}" --wait-match 1 --ack-timeout 5 2>"$tmp/err" || fail "the short publisher: $(cat "$tmp/err")"
wait_for "$tmp/sub.out" ORANGE
kill -TERM $sub
wait $sub
grep -q '"color":"ORANGE"' "$tmp/sub.out" || fail "the short publisher's sample was lost: $(cat "$tmp/sub.out")"

[ "$failures" = 0 ] && echo "quelt-run: all checks passed"
exit $((failures > 0))
