#!/bin/sh
# Saves PNG screenshots of velorcfg's main window in its states and of every dialog on
# a virtual display: scripts/screens.sh [OUTDIR] (default build/screens).
# The demo (velorcfg --demo) serves both rows and the downloads; the properties dialog
# needs a unit in properties mode, which a velorsim of its own plays.
# Every window shot is checked for the title a window manager shows (_NET_WM_NAME):
# OUTDIR/titles.txt lists them, and a title that differs from the expected one fails.
# Needs xvfb-run, xdotool, xprop and ImageMagick's import; builds with the default preset.
set -eu
cd "$(dirname "$0")/.."
OUT="${1:-build/screens}"
if [ -z "${VELOR_SCREENS_INNER:-}" ]; then
    cmake --build --preset default >/dev/null
    mkdir -p "$OUT"
    rm -f "$OUT"/*.png
    export VELOR_SCREENS_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$OUT"
fi
BIN=build/default
SIMOUT=$(mktemp)
APP=
SIM=
BADTITLES=0
trap 'kill $SIM $APP 2>/dev/null || true; rm -f "$SIMOUT"' EXIT
: >"$OUT/titles.txt"

win() { # the newest visible window with this title
    xdotool search --sync --onlyvisible --name "^$1\$" | tail -1
}
shot() { # window title, file name
    W=$(win "$1")
    sleep 0.5
    import -window "$W" "$OUT/$2.png"
    # The pattern's escapes out, the rest is the title exactly.
    WANT=$(printf '%s' "$1" | sed 's/\\//g')
    GOT=$(xprop -id "$W" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p')
    echo "$2: $GOT" >>"$OUT/titles.txt"
    if [ "$GOT" != "$WANT" ]; then
        echo "$2: title \"$GOT\", expected \"$WANT\"" >&2
        BADTITLES=1
    fi
}
screen() { # the whole display, file name
    sleep 0.5
    import -window root "$OUT/$1.png"
}
click() { # window title, x y inside it
    M=$(win "$1")
    eval "$(xdotool getwindowgeometry --shell "$M")"
    xdotool mousemove $((X + $2)) $((Y + $3)) click 1
    sleep 0.5
}
key() { # window title, keys
    W=$(win "$1")
    xdotool windowfocus --sync "$W" 2>/dev/null || true
    xdotool key "$2"
    sleep 0.5
}
type_in() { # window title, text
    W=$(win "$1")
    xdotool windowfocus --sync "$W" 2>/dev/null || true
    xdotool type --delay 20 "$2"
    sleep 0.3
}
gone() { # waits until no visible window has this title
    for _ in $(seq 200); do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
}

UTIL='Halvex Orvik/Orvane/Orlith Configuration Utility'
MAIN="$UTIL - DEMO \\(simulated Velor, no hardware\\)" # a pattern: brackets escaped
NOTICE='Check Switches'
IPDLG='Enter IP Address Of Velor To Be Configured'
CONFIG='Halvex Orvik/Orvane/Orlith Configuration'
SERDLG='Configure Serial Port To Communicate to Orvik'
FINDUDP='Find Units'
FINDSER='Find Unit on Serial Port'
MSG="$UTIL" # message boxes carry the program's title; the demo's main window says DEMO

"$BIN/shell/velorcfg" --demo &
APP=$!
shot "$MAIN" 01-main-idle

# Ethernet: the address dialog opens at the demo unit's address.
click "$MAIN" 88 115
shot "$NOTICE" 02-ethernet-notice
key "$NOTICE" Return
shot "$IPDLG" 03-ip-address
# Find Units on the demo unit's /24: Start is the default button.
key "$IPDLG" alt+f
key "$FINDUDP" Return
sleep 3
shot "$FINDUDP" 03a-find-units
key "$FINDUDP" Escape
gone "$FINDUDP"
key "$IPDLG" Return
shot "$MAIN" 04-main-ethernet-chosen
click "$MAIN" 218 115 # Configure IP
shot "$CONFIG" 05-net-config
# The whole display: a shot of the main window alone would show the part under the
# dialog black, as the display keeps no contents of covered windows.
screen 06-main-ethernet-job
key "$CONFIG" Escape
gone "$CONFIG"
sleep 1

# Serial: the port list, then a download with its progress window.
click "$MAIN" 88 180
shot "$NOTICE" 07-serial-notice
key "$NOTICE" Return
shot "$SERDLG" 08-serial-port
click "$SERDLG" 185 35 # the port list's arrow
screen 09-serial-port-list
xdotool key Escape
sleep 0.3
# The probe of the port, going on past the unit it found.
key "$SERDLG" alt+f
key "$FINDSER" alt+g
key "$FINDSER" Return
shot "$FINDSER" 09a-serial-probe
key "$FINDSER" Escape
gone "$FINDSER"
key "$SERDLG" Return
shot "$MAIN" 10-main-serial-chosen
click "$MAIN" 348 180 # Flash Velor
shot Open 11-choose-image
# The name field has the focus once the dialog has the keyboard; a busy machine is slow to give it.
type_in Open velor-demo.s19
key Open Return
sleep 1
shot "$MSG" 12-flash-notice
key "$MSG" Return
xdotool search --sync --onlyvisible --name '^Flashing Velor$' >/dev/null
sleep 2
shot 'Flashing Velor' 13-progress
screen 14-main-serial-flash
# The outcome comes when the download ends (about 10 s at 115200 baud).
for _ in $(seq 300); do
    xdotool search --onlyvisible --name '^Flashing Velor$' >/dev/null 2>&1 || break
    sleep 0.1
done
sleep 0.5
shot "$MSG" 15-flash-result
screen 16-flash-result-over-main
key "$MSG" Return
sleep 1
shot "$MAIN" 17-main-after-flash

# A port that cannot be opened: COM2 is /dev/ttyS1, which is not there.
click "$MAIN" 88 180
key "$NOTICE" Return
W=$(win "$SERDLG")
click "$SERDLG" 120 35
xdotool key ctrl+a
xdotool type COM2
key "$SERDLG" Return
click "$MAIN" 218 180 # Configure IP
sleep 1
shot "$MSG" 18-unable-to-open
key "$MSG" Return
shot "$MSG" 19-open-failure-reason
key "$MSG" Return
shot "$MSG" 20-check-connection
key "$MSG" Return
shot "$SERDLG" 21-serial-port-again
key "$SERDLG" Escape
gone "$SERDLG"
sleep 1

# A serial configure job to its end: the update and the reset prompt.
click "$MAIN" 88 180
key "$NOTICE" Return
key "$SERDLG" Return
click "$MAIN" 218 180 # Configure IP
shot "$CONFIG" 22-net-config-serial
key "$CONFIG" Return
sleep 1
shot "$MSG" 23-message
key "$MSG" Return
shot 'Update Successful' 24-update-done
key 'Update Successful' Escape
sleep 1
shot "$MAIN" 25-main-idle-again
kill $APP
wait $APP 2>/dev/null || true
APP=

# A unit in properties mode: the properties dialog and the locked configuration.
for _ in $(seq 20); do
    UDPPORT=$(( $(od -An -N2 -tu2 /dev/urandom) % 5000 + 5000 ))
    "$BIN/sim/velorsim" --udp "127.0.0.1:$UDPPORT" --running --ip 127.0.0.1 \
        --port "$UDPPORT" --properties-mode >"$SIMOUT" 2>/dev/null &
    SIM=$!
    for _ in $(seq 30); do grep -q '^udp:' "$SIMOUT" && break; kill -0 $SIM 2>/dev/null || break; sleep 0.1; done
    grep -q '^udp:' "$SIMOUT" && break
done
"$BIN/shell/velorcfg" &
APP=$!
fill() { # window title, x y of a field, text
    click "$1" "$2" "$3"
    xdotool key ctrl+a
    xdotool type "$4"
}
win "$UTIL" >/dev/null
click "$UTIL" 88 115
key "$NOTICE" Return
fill "$IPDLG" 41 40 127; fill "$IPDLG" 95 40 0; fill "$IPDLG" 152 40 0; fill "$IPDLG" 208 40 1
fill "$IPDLG" 95 99 "$UDPPORT"
key "$IPDLG" Return
click "$UTIL" 218 115
shot 'Plexa Velor Properties' 26-properties
key 'Plexa Velor Properties' Return
shot "$CONFIG" 27-net-config-locked
key "$CONFIG" Escape
echo "screenshots in $OUT"
[ "$BADTITLES" = 0 ] || { echo "window titles differ: see above" >&2; exit 1; }
