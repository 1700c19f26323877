#!/bin/sh
# Builds the benchmarks and prints one table: every bench_* program under
# build/default/bench prints its rows (see bench/BenchRow.h: "row<TAB>what<TAB>median
# <TAB>spread<TAB>target<TAB>met<TAB>basis") and this script gathers them. A program
# added later (the desktop program's rows, say) joins the table by being named
# bench_* and printing rows in that format; nothing here needs to change.
#   scripts/bench.sh            all benchmarks, their own number of rounds
#   VELOR_BENCH_ONLY=eth scripts/bench.sh    only programs whose name contains "eth"
set -eu
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "${VELOR_JOBS:-$(nproc)}" >/dev/null
ROWS=$(mktemp)
LOG=build/default/bench.log
trap 'rm -f "$ROWS"' EXIT
: >"$LOG"
failed=0
for prog in $(find build/default/bench -type f -name 'bench_*' -perm -u+x | sort); do
    case "$prog" in *"${VELOR_BENCH_ONLY:-}"*) ;; *) continue ;; esac
    echo "running $(basename "$prog") ..." >&2
    if ! "$prog" >>"$ROWS" 2>>"$LOG"; then
        echo "$(basename "$prog") failed (see $LOG)" >&2
        failed=1
    fi
done
TAB=$(printf '\t')
{
    echo "what${TAB}median${TAB}spread${TAB}target${TAB}met${TAB}measured against"
    grep "^row${TAB}" "$ROWS" | cut -f2-
} | column -t -s "$TAB"
exit $failed
