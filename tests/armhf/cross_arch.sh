#!/usr/bin/env bash
# An armhf connector and an x86-64 one on the same host exchange keyed samples and a dispose,
# each way, for ShapeType final and appendable: one quelt_test_peer publishes, the other's
# subscribes; the subscriber must print exactly the five samples and the disposed instance.
# Over UDP: Fast DDS's shared-memory segments are laid out by word size, so a 32-bit and a 64-bit
# process on one host never meet through them (the README says so).
#   cross_arch.sh <armhf quelt_test_peer> <x86-64 quelt_test_peer> <Shapes.xml> <udp_only.xml> <domain>
set -uo pipefail
armhf=$1 native=$2 shapes=$3 udp=$4 domain=$5
tmp=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$tmp"' EXIT
export FASTRTPS_DEFAULT_PROFILES_FILE=$udp
failures=0
expected=$'data RED 0 1 1\ndata GREEN 1 3 2\ndata BLUE 2 5 3\ndata YELLOW 3 7 4\ndata MAGENTA 4 9 5\nnotice BLUE 2\nidle 10'

# wait_for <file> <text>: up to 30 s (emulated discovery is slow).
wait_for() { for _ in $(seq 300); do grep -qxF -- "$2" "$1" && return 0; sleep 0.1; done; return 1; }

declare -A peer=([armhf]=$armhf [x86-64]=$native)
exchange() { # <extensibility> <publisher: armhf or x86-64> <subscriber>
  local name="$1 $2 -> $3" dir=$tmp/$1-$2
  mkdir -p "$dir"
  sed -e "s/domain_id=\"0\"/domain_id=\"$domain\"/" -e "s/<struct name=\"ShapeType\"/& extensibility=\"$1\"/" "$shapes" >"$dir/s.xml"
  "${peer[$3]}" subscribe "$dir/s.xml" 6 60 >"$dir/sub" 2>"$dir/sub.err" &
  local sub=$!
  pids+=("$sub")
  mkfifo "$dir/in"
  "${peer[$2]}" publish "$dir/s.xml" <"$dir/in" >"$dir/pub" 2>"$dir/pub.err" &
  local pub=$!
  pids+=("$pub")
  exec 3>"$dir/in"
  wait_for "$dir/sub" ready || { echo "FAIL $name: no subscriber: $(cat "$dir/sub.err")"; failures=$((failures + 1)); exec 3>&-; return; }
  echo "match 1" >&3
  if wait_for "$dir/pub" "matched 1"; then
    printf 'key *\nwrite 5\nkey BLUE\ndispose\n' >&3
    wait "$sub"
  fi
  exec 3>&-
  wait "$pub"
  # The subscriber prints what it took in arrival order; instances are what must match.
  if [ "$(sort "$dir/sub" | grep -v ready)" != "$(sort <<<"$expected")" ]; then
    echo "FAIL $name: the subscriber printed:"; cat "$dir/sub" "$dir/pub" "$dir/sub.err" "$dir/pub.err"
    failures=$((failures + 1))
  else
    echo "ok $name"
  fi
}

# One after the other on one domain: each pair has exited before the next starts.
for ext in final appendable; do
  exchange $ext armhf x86-64
  exchange $ext x86-64 armhf
done
[ "$failures" = 0 ]
