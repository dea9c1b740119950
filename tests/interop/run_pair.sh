#!/usr/bin/env bash
# run_pair.sh PEER DOMAIN COUNT TYPE: cyclone_peer sub against cyclone_peer pub, then compares what
# the subscriber printed with the lines the peer expects, instance by instance (sort -s keeps the
# order within one). Proves the peer itself before it is used against our connector.
set -u
peer=$1 domain=$2 count=$3 type=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
out=$dir/out
mkfifo "$dir/go"
"$peer" sub "$type" "$domain" "$count" 60 >"$out" &
sub=$!
"$peer" --wait-go pub "$type" "$domain" "$count" 60 <"$dir/go" >"$dir/pub" &
pub=$!
exec 3>"$dir/go"
# The publisher writes only once the subscriber's reader knows its writer, as in the tests
# against our connector: both print "# matched", and the subscriber's line is the one that counts.
timeout 60 grep -q -m1 '^# matched' <(tail --pid="$sub" -n +1 -f "$out")
echo go >&3
exec 3>&-
wait "$pub"
pub_rc=$?
wait "$sub"
sub_rc=$?
[ "$pub_rc" -eq 0 ] || { echo "pub exited with $pub_rc" >&2; exit 1; }
[ "$sub_rc" -eq 0 ] || { echo "sub exited with $sub_rc" >&2; exit 1; }
diff <("$peer" lines "$type" "$count" | sort -s -k1,1) <(grep -v '^#' "$out" | sort -s -k1,1)
