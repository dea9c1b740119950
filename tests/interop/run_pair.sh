#!/usr/bin/env bash
# run_pair.sh PEER DOMAIN COUNT [--shape]: cyclone_peer sub against cyclone_peer pub, then checks
# what the subscriber printed. Proves the peer itself before it is used against our layer.
set -u
peer=$1 domain=$2 count=$3
shift 3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
out=$dir/out
mkfifo "$dir/go"
"$peer" "$@" sub "$domain" PairTopic "$count" 60 >"$out" &
sub=$!
"$peer" "$@" --wait-go pub "$domain" PairTopic "$count" 60 <"$dir/go" >/dev/null &
pub=$!
exec 3>"$dir/go"
# The publisher writes only once the subscriber's reader knows its writer, as in the tests
# against our layer; bounded by the peers' own 60 s.
for _ in $(seq 600); do
  grep -q '^# matched' "$out" && break
  kill -0 "$sub" 2>/dev/null || break
  sleep 0.1
done
echo go >&3
exec 3>&-
wait "$pub"
pub_rc=$?
wait "$sub"
sub_rc=$?
cat "$out"
[ "$pub_rc" -eq 0 ] || { echo "pub exited with $pub_rc" >&2; exit 1; }
[ "$sub_rc" -eq 0 ] || { echo "sub exited with $sub_rc" >&2; exit 1; }
"$peer" "$@" check "$count" <"$out"
