#!/bin/sh
# Runs one libFuzzer target (or all of them) for a number of seconds:
#   scripts/fuzz.sh TARGET SECONDS      e.g. scripts/fuzz.sh image_reader 600
#   scripts/fuzz.sh all SECONDS         each target in turn (what .ci/run does)
# Targets: image_reader serial_reply eth_reply text_fields sim_request json_output settings_file udp_scan serial_scan.
# Builds the fuzz preset first. Inputs found stay in build/fuzz/corpus/TARGET (the
# seeds in fuzz/corpus/TARGET are only read); a crash lands in build/fuzz/artifacts/
# and makes the script fail. VELOR_FUZZ_JOBS=N runs N workers on one target.
set -eu
cd "$(dirname "$0")/.."
TARGETS="image_reader serial_reply eth_reply text_fields sim_request json_output settings_file udp_scan serial_scan"
if [ $# -ne 2 ]; then
    echo "usage: $0 TARGET|all SECONDS   (targets: $TARGETS)" >&2
    exit 2
fi
if [ "$1" = all ]; then
    for t in $TARGETS; do "$0" "$t" "$2"; done
    exit 0
fi
case " $TARGETS " in
*" $1 "*) ;;
*) echo "unknown target $1 (targets: $TARGETS)" >&2; exit 2 ;;
esac
TARGET=$1
SECONDS_=$2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz_$TARGET" -j "${VELOR_JOBS:-$(nproc)}" >/dev/null
WORK=build/fuzz/corpus/$TARGET
ART=build/fuzz/artifacts/$TARGET/
mkdir -p "$WORK" "$ART"
JOBS=${VELOR_FUZZ_JOBS:-1}
set -- -max_total_time="$SECONDS_" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$ART" "$WORK" "fuzz/corpus/$TARGET"
if [ "$JOBS" -gt 1 ]; then
    set -- -jobs="$JOBS" -workers="$JOBS" "$@"
fi
echo "== fuzz_$TARGET for $SECONDS_ s"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    nice "build/fuzz/fuzz/fuzz_$TARGET" "$@" 2>"build/fuzz/$TARGET.log" || {
    tail -n 60 "build/fuzz/$TARGET.log" >&2
    exit 1
}
grep -E '^#[0-9]+.*DONE|^stat::number_of_executed_units|^stat::peak_rss|cov:' \
    "build/fuzz/$TARGET.log" | tail -n 3
