#!/bin/sh
# A short tour: a simulated unit on a pseudo-terminal and on UDP 127.0.0.1, and
# velorctl doing what a technician does with a real one.
set -eu
cd "$(dirname "$0")/.."
BIN=build/default
SIM=$BIN/sim/velorsim
CTL=$BIN/cli/velorctl
WORK=$(mktemp -d)
trap 'kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; rm -rf "$WORK"' EXIT INT TERM

PORT=${VELOR_TOUR_PORT:-3001}
"$SIM" --pty --udp "127.0.0.1:$PORT" --running --baud 115200 --parity even --state-file "$WORK/state.json" >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
i=0
while ! grep -q '^udp:' "$WORK/sim.out" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 100 ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
        echo "velorsim did not start:"; cat "$WORK/sim.err"; exit 1
    fi
    sleep 0.05
done
PTY=$(sed -n 's/^pty: //p' "$WORK/sim.out")
echo "velorsim is up: serial on $PTY, UDP on 127.0.0.1:$PORT"

step() {
    echo
    echo "\$ velorctl $*"
    "$CTL" "$@" || echo "(exit status $?)"
}

step --udp "127.0.0.1:$PORT" --yes status
step --udp "127.0.0.1:$PORT" --yes read
step --udp "127.0.0.1:$PORT" --yes write timeout=45 gateway=192.168.0.254
step --serial "$PTY" --yes read
step --udp "127.0.0.1:$PORT" --yes --json status
"$BIN/cli/velor-sample-image" "$WORK/sample.s37" --size 69632 --seed 7
step --serial "$PTY" flash --dry-run "$WORK/sample.s37"
step --serial "$PTY" --yes flash "$WORK/sample.s37"
echo
echo "What the unit holds now (velorsim's own account):"
kill -TERM "$SIM_PID"
wait "$SIM_PID" 2>/dev/null || true
if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); p=s["params"]; print("  gateway %s, timeout %s, check word %04X, memory written %s" % (p["gateway"], p["timeout"], s["check_word"], s["memory"]["written"]))' "$WORK/state.json"
else
    cat "$WORK/state.json"
fi
