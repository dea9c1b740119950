#!/usr/bin/env bash
# quelt-run's verbs against an independent Cyclone DDS program (cyclone_peer): echo prints what the
# peer wrote, the peer reads what pub sent from stdin (a bad line refused by number), discover
# lists the peer's topic; list, wrong starts naming what exists, and Ctrl-C ending echo cleanly.
# Against the peer, echo and pub read their type from the IDL file the peer was generated from.
#   verbs_test.sh <quelt-run> <cyclone_peer> <examples/shapes/Shapes.xml> <Shapes.xml on domain 128> <the peer's Shapes.idl>
set -uo pipefail
run=$1 peer=$2 shapes=$3 shapes128=$4 idl=$5
tmp=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# wait_for <file> <text> [count]: up to 20 s until the file holds count (default 1) lines with text.
wait_for() { for _ in $(seq 200); do [ "$(grep -cF -- "$2" "$1")" -ge "${3:-1}" ] && return 0; sleep 0.1; done; return 1; }
gen() { echo --domain "$1" --topic Square --type ShapeType --types "${2:-$shapes}"; }

# Wrong starts: status 2 and one line naming what exists.
while IFS='|' read -r text args; do
  eval "set -- $args"
  "$run" "$@" >"$tmp/out" 2>"$tmp/err"
  rc=$?
  [ "$rc" = 2 ] && [ "$(wc -l <"$tmp/err")" = 1 ] && grep -qF -- "$text" "$tmp/err" ||
    fail "quelt-run $args: exit $rc, not 2 with one line holding '$text': $(cat "$tmp/err")"
done <<EOF
it has 'ShapesLib::ShapePublisher', 'ShapesLib::ShapeSubscriber'|echo --config $shapes --participant ShapesLib::No --reader Sub::SquareReader
no reader named 'Sub::Square' in 'ShapesLib::Shapes'; the readers are 'Sub::SquareReader'|echo --config $shapes --participant ShapesLib::Shapes --reader Sub::Square
no writer named 'Pub::W' in 'ShapesLib::ShapeSubscriber'; it has none|pub --config $shapes --participant ShapesLib::ShapeSubscriber --writer Pub::W {}
no type 'Shape' in $shapes; its types are 'ShapeType'|echo --domain 122 --topic Square --type Shape --types $shapes
no member 'colour' in ShapeType, whose members are color, x, y, shapesize|pub $(gen 122) '{"colour": "RED"}'
missing --topic|pub --domain 122 --type ShapeType --types $shapes {}
unknown QoS profile 'QosLib::Fast'|echo $(gen 122) --qos QosLib::Fast
unknown option '--colour'; echo takes --config|echo --colour red
missing --domain D|discover
EOF
for verb in list echo pub discover; do
  "$run" $verb --help | grep -q "^usage: quelt-run $verb" || fail "$verb --help"
done

# list: every participant configuration, one line per writer and reader.
"$run" list --config "$shapes" >"$tmp/list" || fail "list exited $?"
diff - "$tmp/list" <<EOF || fail "list"
ShapesLib::ShapePublisher (domain 0): writer Pub::SquareWriter, topic "Square", type ShapeType
ShapesLib::ShapeSubscriber (domain 0): reader Sub::SquareReader, topic "Square", type ShapeType
ShapesLib::Shapes (domain 0): writer Pub::SquareWriter, topic "Square", type ShapeType
ShapesLib::Shapes (domain 0): reader Sub::SquareReader, topic "Square", type ShapeType
EOF

# echo prints the peer's samples. The peer writes once our reader knows its writer (a volatile
# reader misses what comes before); each instance's samples in order.
mkfifo "$tmp/go"
"$run" echo $(gen 122 "$idl") --count 6 --timeout 30 >"$tmp/echo" 2>"$tmp/echo.err" &
echo_pid=$! pids+=($!)
"$peer" --wait-go pub shape 122 6 30 <"$tmp/go" >/dev/null &
pids+=($!)
exec 3>"$tmp/go"
wait_for "$tmp/echo.err" "1 writer matched" || fail "echo never matched the peer: $(cat "$tmp/echo.err")"
echo go >&3
exec 3>&-
wait $echo_pid || fail "echo exited $?: $(cat "$tmp/echo.err")"
diff <("$peer" lines shape 6 | grep -v disposed | sort -s -k1,1 | cut -d' ' -f2-) \
     <(sort -s -t, -k1,1 "$tmp/echo") >/dev/null || fail "echo printed: $(cat "$tmp/echo")"

# The peer reads what pub sends from stdin; line 3 is refused by number, the others go through.
mkfifo "$tmp/in"
"$peer" --data-only sub shape 124 4 30 >"$tmp/sub" &
sub_pid=$! pids+=($!)
"$run" pub $(gen 124 "$idl") --timeout 30 - <"$tmp/in" 2>"$tmp/pub.err" &
pub_pid=$! pids+=($!)
exec 3>"$tmp/in"
wait_for "$tmp/sub" "# matched" || fail "the peer never matched pub"
"$peer" lines shape 4 | grep -v disposed | cut -d' ' -f2- | sed '2a {"color": "RED", "x": "far"}' >&3
exec 3>&-
wait $pub_pid
rc=$?
[ "$rc" = 1 ] && [ "$(cat "$tmp/pub.err")" = "quelt-run pub: line 3 refused: 'x': \"far\" is not wholly a number: set to 0" ] ||
  fail "pub: exit $rc: $(cat "$tmp/pub.err")"
wait $sub_pid || fail "the peer got: $(cat "$tmp/sub")"
diff <("$peer" lines shape 4 | grep -v disposed | sort -s -k1,1) <(grep -v '^#' "$tmp/sub" | sort -s -k1,1) >/dev/null || fail "the peer got: $(cat "$tmp/sub")"

# discover lists the peer's topic, type and reader.
"$peer" sub shape 126 1 30 >/dev/null &
pids+=($!)
for _ in $(seq 10); do
  "$run" discover --domain 126 --seconds 1 >"$tmp/discover" || fail "discover exited $?"
  grep -q '^  reader RELIABLE VOLATILE' "$tmp/discover" && break
done
grep -qx 'topic "Square" type "ShapeType"' "$tmp/discover" && grep -q '^  reader RELIABLE VOLATILE participant' "$tmp/discover" ||
  fail "discover: $(cat "$tmp/discover")"

# A reader of a configuration with --info, fed by pub; Ctrl-C ends it with status 0.
"$run" echo --config "$shapes128" --participant ShapesLib::ShapeSubscriber --reader Sub::SquareReader --info \
  >"$tmp/info" 2>"$tmp/info.err" &
echo_pid=$! pids+=($!)
"$run" pub $(gen 128) --count 3 --timeout 30 '{"color": "BLUE", "x": 5}' 2>"$tmp/pub.err" || fail "pub: $(cat "$tmp/pub.err")"
wait_for "$tmp/info" '{"data":{"color":"BLUE","x":5,"y":0,"shapesize":0},"info":{"valid_data":true,"instance_state":"ALIVE"' 3 ||
  fail "echo --info: $(cat "$tmp/info" "$tmp/info.err")"
kill -INT $echo_pid
wait $echo_pid || fail "echo after Ctrl-C exited $?"

[ "$failures" = 0 ] && echo "quelt-run verbs: all checks passed"
exit $((failures > 0))
