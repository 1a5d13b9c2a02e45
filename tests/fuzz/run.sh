#!/usr/bin/env bash
# run.sh: runs the libFuzzer targets of a fuzz build for a while each, every target on a
# working copy of its seed corpus (the source tree is never written), and prints one line
# of figures per target. Exits non-zero when any target crashed or failed a check.
# Usage: run.sh BUILD_DIR SECONDS [TARGET...]   (targets: screen reader scan settings)
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS [screen|reader|scan|settings ...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(screen reader scan settings)
here=$(cd "$(dirname "$0")" && pwd)

# The longest input worth trying for each target.
max_len() {
    case $1 in
    screen) echo 2048 ;;   # options and start cell, then some screens' worth of bytes
    reader) echo 4096 ;;   # several lines past the 256-byte transmit buffer
    scan) echo 1024 ;;     # answers past the 256-byte receive buffer
    settings) echo 1024 ;; # the loader reads 64 bytes; files up to 1 KiB
    *) echo 4096 ;;
    esac
}

work=$(mktemp -d "${TMPDIR:-/tmp}/velka-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0

for t in "${targets[@]}"; do
    bin="$build/tests/fuzz/fuzz_$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz_$t: no binary at $bin" >&2
        status=1
        continue
    fi
    corpus="$work/corpus-$t"
    mkdir -p "$corpus"
    cp "$here/corpus/$t/"* "$corpus/" 2>/dev/null
    log="$work/$t.log"
    "$bin" "$corpus" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
    last=$(grep -E ' cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    cov=$(sed -E -n 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
    ft=$(sed -E -n 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
    echo "fuzz_$t: ${execs:-?} execs, cov ${cov:-?}, ft ${ft:-?}, peak rss ${rss:-?} MB"
    if [ $rc -ne 0 ]; then
        status=1
        echo "fuzz_$t: FAILED (exit $rc); inputs kept in $artifacts; the log's end:" >&2
        tail -40 "$log" >&2
    fi
done
exit $status
