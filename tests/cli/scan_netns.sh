#!/bin/sh
# The UDP scan over a real Ethernet segment: a network namespace of the test's own,
# holding a bridge and two more namespaces, one simulated unit in each behind a veth
# pair. A range scan finds both over the link; --broadcast reaches each unit a second
# time through the segment's broadcast address. Nothing leaves the namespaces.
#   scan_netns.sh VELORCTL VELORSIM
# Exit 77 (skipped, with a line saying why) where namespaces cannot be made.
set -eu
CTL=$1
SIM=$2
if [ "${VELOR_IN_NETNS:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root to make network namespaces"; exit 77; }
    for tool in ip unshare nsenter; do
        command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
    done
    unshare -n true 2>/dev/null || { echo "SKIP: unshare -n is not allowed here"; exit 77; }
    exec env VELOR_IN_NETNS=1 unshare -n "$0" "$@"
fi

# From here on in the namespace made above.
DIR=$(mktemp -d)
PIDS=""
cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$DIR"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
ip link set lo up
ip link add br0 type bridge 2>/dev/null || { echo "SKIP: no bridge or veth support"; exit 77; }
ip addr add 10.77.0.1/24 dev br0
ip link set br0 up

for unit in 2 3; do
    unshare -n sleep 600 &
    holder=$!
    PIDS="$PIDS $holder"
    sleep 0.2
    ip link add "vh$unit" type veth peer name "vu$unit"
    ip link set "vu$unit" netns "$holder"
    ip link set "vh$unit" master br0 up
    nsenter -t "$holder" -n sh -c "ip link set lo up && ip addr add 10.77.0.$unit/24 dev vu$unit &&
        ip link set vu$unit up"
    # The unit's socket on every address of its namespace, so that broadcasts reach it.
    nsenter -t "$holder" -n "$SIM" --udp 0.0.0.0:3001 --serial-no "0x77$unit$unit" \
        --state-file "$DIR/state$unit.json" >"$DIR/sim$unit.out" 2>&1 &
    PIDS="$PIDS $!"
    eval "SIM$unit=$!"
done
for unit in 2 3; do
    i=0
    until grep -q '^udp: ' "$DIR/sim$unit.out"; do
        i=$((i + 1))
        [ $i -lt 50 ] || fail "velorsim $unit did not start: $(cat "$DIR/sim$unit.out")"
        sleep 0.1
    done
done

status_counts() {
    for unit in 2 3; do eval "kill -USR1 \$SIM$unit"; done
    sleep 0.5
    for unit in 2 3; do
        python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["frames"].get("0x70", 0))' \
            "$DIR/state$unit.json" || fail "no state of unit $unit"
    done
}
scan() {
    "$CTL" scan udp:10.77.0.0/24 --wait 500 --quiet "$@" 2>"$DIR/err" || fail "scan $*: $(cat "$DIR/err")"
}

out=$(scan)
echo "$out" | grep -q '^udp:10.77.0.2:3001 .* 30498 ' || fail "unit .2 not listed: $out"
echo "$out" | grep -q '^udp:10.77.0.3:3001 .* 30515 ' || fail "unit .3 not listed: $out"
[ "$(echo "$out" | grep -c '^udp:')" = 2 ] || fail "not two units: $out"
set -- $(status_counts)
a2=$1 a3=$2
out=$(scan)
[ "$(echo "$out" | grep -c '^udp:')" = 2 ] || fail "second scan: $out"
set -- $(status_counts)
b2=$1 b3=$2
out=$(scan --broadcast)
[ "$(echo "$out" | grep -c '^udp:10.77.0.[23]:3001 ')" = 2 ] || fail "broadcast scan: $out"
set -- $(status_counts)
# The broadcast crossed the bridge and each veth pair: every unit was asked once more
# than by a scan of the addresses alone.
[ $(($1 - b2)) -gt $((b2 - a2)) ] && [ $(($2 - b3)) -gt $((b3 - a3)) ] ||
    fail "the broadcast did not reach both units ($a2 $b2 $1 / $a3 $b3 $2)"
echo "both units found over the segment, by address and by broadcast"
