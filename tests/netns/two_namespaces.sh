#!/usr/bin/env bash
# Two network namespaces joined by a veth pair (10.151.<n>.1 and .2/24, private, only inside
# them), the connector on each side over UDP with Fast DDS's shared-memory transport off (both
# namespaces share /dev/shm, so shared memory would otherwise carry the samples): a reliable
# keep-all stream of 100,000 samples (QUELT_NETNS_COUNT), every one counted in order, then a dispose
# of an instance whose key is longer than 16 bytes. The transport profile leaves the socket buffer
# sizes unset, as a deployment's often does: in the system's 208 KB buffers the stream lost a third of
# its datagrams and crawled on repairs until the connector gave such transports its own sizes.
# Usage: two_namespaces.sh QUELT_TEST_PEER SHAPES_XML DOMAIN. Exit 77 (skipped) without namespaces.
set -uo pipefail
peer=$1 shapes=$2 domain=$3
tag=q15$$ a=q15$$a b=q15$$b
net=10.151.$(( $$ % 250 ))
if ! ip netns add "$a" 2>/dev/null; then
  echo "SKIP: cannot create network namespaces here (needs root and CAP_SYS_ADMIN)"; exit 77
fi
work=$(mktemp -d)
cleanup() { ip netns del "$a" 2>/dev/null; ip netns del "$b" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
ip netns add "$b" || exit 1
ip link add "${tag}x" type veth peer name "${tag}y" || { echo "SKIP: cannot create a veth pair"; exit 77; }
ip link set "${tag}x" netns "$a" && ip link set "${tag}y" netns "$b" || exit 1
for side in "$a:${tag}x:1" "$b:${tag}y:2"; do
  IFS=: read -r ns dev host <<<"$side"
  ip -n "$ns" link set lo up && ip -n "$ns" addr add "$net.$host/24" dev "$dev" && ip -n "$ns" link set "$dev" up &&
    ip -n "$ns" route add 224.0.0.0/4 dev "$dev" || exit 1
done

# Keep-all: a reliable keep-last writer may replace samples not yet acknowledged.
sed -e "s/domain_id=\"0\"/domain_id=\"$domain\"/" \
    -e "s|<kind>KEEP_LAST_HISTORY_QOS</kind><depth>10</depth>|<kind>KEEP_ALL_HISTORY_QOS</kind>|" "$shapes" >"$work/shapes.xml"
n=${QUELT_NETNS_COUNT:-100000}
key=a_color_name_well_over_sixteen_bytes
export FASTRTPS_DEFAULT_PROFILES_FILE=$(dirname "$0")/../data/udp_only.xml
ip netns exec "$a" "$peer" subscribe "$work/shapes.xml" $((n + 1)) 60 >"$work/sub.log" 2>&1 & sub=$!
# The publisher stays until the subscriber is done: reliable delivery of the last samples needs it.
{ printf 'key %s\nmatch 1\nwrite %d\ndispose\n' "$key" "$n"; tail --pid=$sub -f /dev/null; } |
  ip netns exec "$b" "$peer" publish "$work/shapes.xml" >"$work/pub.log" 2>&1; pub_rc=$?
wait $sub; sub_rc=$?
# Every sample once and in order, then the dispose notice with the key the reader kept.
awk -v n="$n" -v key="$key" '$1 == "data" { if ($2 != key || $3 != seen++) bad++ }
  $1 == "notice" { notices++; if ($2 != key) bad++ }
  END { exit !(seen == n && notices == 1 && !bad) }' "$work/sub.log" || { echo "samples missing, out of order or without the dispose notice"; sub_rc=1; }
rx=$(ip netns exec "$a" cat "/sys/class/net/${tag}x/statistics/rx_bytes")
# Datagrams the subscriber's namespace received and those it dropped for want of socket buffer
# space: more than 1 in 100 dropped means the transport runs on the system's small buffers again.
read -r dgrams rcvbuf < <(ip netns exec "$a" awk '/^Udp:/ { if (!h) { for (i = 1; i <= NF; i++) c[$i] = i; h = 1 }
  else print $c["InDatagrams"], $c["RcvbufErrors"] }' /proc/net/snmp)
echo "publisher exit $pub_rc, subscriber exit $sub_rc, $rx bytes received over the veth pair," \
     "$dgrams UDP datagrams received, $rcvbuf dropped (receive buffer full)"
if [ $pub_rc -ne 0 ] || [ $sub_rc -ne 0 ]; then
  echo "--- publisher"; tail -n 30 "$work/pub.log"; echo "--- subscriber"; tail -n 30 "$work/sub.log"; exit 1
fi
[ "$rx" -gt 0 ] || { echo "nothing crossed the veth pair"; exit 1; }
[ $(( rcvbuf * 100 )) -le "$dgrams" ] || { echo "more than 1 in 100 datagrams dropped in full receive buffers"; exit 1; }
