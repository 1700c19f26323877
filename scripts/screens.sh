#!/bin/sh
# Saves PNG screenshots of velorcfg's main window in its states and of every dialog,
# against a simulated unit, on a virtual display: scripts/screens.sh [OUTDIR]
# Needs xvfb-run, xdotool and ImageMagick's import; builds with the default preset.
set -eu
cd "$(dirname "$0")/.."
OUT="${1:-build/screens}"
if [ -z "${VELOR_SCREENS_INNER:-}" ]; then
    mkdir -p "$OUT"
    export VELOR_SCREENS_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$OUT"
fi
BIN=build/default
SIMOUT=$(mktemp)
APP=
SIM=
trap 'kill $SIM $APP 2>/dev/null || true; rm -f "$SIMOUT"' EXIT
# The address dialog takes a port of at most four digits: find a free one.
for _ in $(seq 20); do
    UDPPORT=$(( $(od -An -N2 -tu2 /dev/urandom) % 5000 + 5000 ))
    "$BIN/sim/velorsim" --pty --udp "127.0.0.1:$UDPPORT" --running --ip 127.0.0.1 \
        --port "$UDPPORT" --properties-mode >"$SIMOUT" 2>/dev/null &
    SIM=$!
    for _ in $(seq 30); do grep -q '^udp:' "$SIMOUT" && break; kill -0 $SIM 2>/dev/null || break; sleep 0.1; done
    grep -q '^udp:' "$SIMOUT" && break
done
PTY=$(sed -n 's/^pty: //p' "$SIMOUT")
VELOR_COM1="$PTY" "$BIN/shell/velorcfg" &
APP=$!

shot() { # window title, file name
    W=$(xdotool search --sync --onlyvisible --name "^$1\$" | tail -1)
    sleep 0.4
    import -window "$W" "$OUT/$2.png"
}
click() { # window title, x y inside it
    M=$(xdotool search --sync --onlyvisible --name "^$1\$" | tail -1)
    eval "$(xdotool getwindowgeometry --shell "$M")"
    xdotool mousemove $((X + $2)) $((Y + $3)) click 1
    sleep 0.4
}
main_click() { click "$MAIN" "$@"; }
fill() { # window title, x y of a field, text
    click "$1" "$2" "$3"
    xdotool key ctrl+a
    xdotool type "$4"
}
enter() { # window title, key
    W=$(xdotool search --sync --onlyvisible --name "^$1\$" | tail -1)
    xdotool windowfocus --sync "$W" 2>/dev/null || true
    xdotool key "$2"
    sleep 0.4
}
MAIN='Halvex Orvik/Orvane/Orlith Configuration Utility'

shot "$MAIN" 01-main-idle
main_click 88 115 # Ethernet
shot 'Check Switches' 02-ethernet-notice
enter 'Check Switches' Return
shot 'Enter IP Address Of Velor To Be Configured' 03-ip-address
IPDLG='Enter IP Address Of Velor To Be Configured'
fill "$IPDLG" 41 40 127; fill "$IPDLG" 95 40 0; fill "$IPDLG" 152 40 0; fill "$IPDLG" 208 40 1
fill "$IPDLG" 95 99 "$UDPPORT"
enter "$IPDLG" Return
shot "$MAIN" 04-main-ethernet-chosen
main_click 218 115 # Configure IP
shot 'Plexa Velor Properties' 05-properties
shot "$MAIN" 06-main-ethernet-job
enter 'Plexa Velor Properties' Return
shot 'Halvex Orvik/Orvane/Orlith Configuration' 07-net-config-locked
enter 'Halvex Orvik/Orvane/Orlith Configuration' Escape
sleep 1
main_click 88 180 # Serial
shot 'Check Switches' 08-serial-notice
enter 'Check Switches' Return
shot 'Configure Serial Port To Communicate to Orvik' 09-serial-port
enter 'Configure Serial Port To Communicate to Orvik' Return
shot "$MAIN" 10-main-serial-chosen
main_click 218 180 # Configure IP
shot 'Halvex Orvik/Orvane/Orlith Configuration' 11-net-config
shot "$MAIN" 12-main-serial-configure
enter 'Halvex Orvik/Orvane/Orlith Configuration' Return
sleep 1
shot velorcfg 13-message
enter velorcfg Return
shot 'Update Successful' 14-update-done
enter 'Update Successful' Escape
sleep 1
shot "$MAIN" 15-main-idle-again
echo "screenshots in $OUT"
