#!/bin/sh
# Runs every fuzz harness in turn, one at a time.
#   fuzz/run.sh BUILD_DIR SECONDS [RUNS]
# SECONDS bounds each harness's run; RUNS (optional) stops it after that
# many executions instead.  New inputs go to BUILD_DIR/fuzz-work/<harness>
# (the committed seeds in fuzz/corpus are read, never written), crashes to
# BUILD_DIR/fuzz-artifacts, logs to BUILD_DIR/fuzz-logs.  Exits non-zero
# when any harness crashed or broke an invariant.
set -u
build=$1
seconds=$2
runs=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
status=0
for h in reply instr cmdline plant control ladder pe capture csv; do
    case $h in cmdline) dict=cmdline.dict ;; plant) dict=plant.dict ;; control) dict=control.dict ;; ladder) dict=ladder.dict ;; *) dict=protocol.dict ;; esac
    mkdir -p "$build/fuzz-work/$h"
    limit="-max_total_time=$seconds"
    [ -n "$runs" ] && limit="$limit -runs=$runs"
    log="$build/fuzz-logs/$h.log"
    echo "fuzz: $h ($limit)"
    # shellcheck disable=SC2086
    "$build/fuzz/${h}_fuzz" $limit -dict="$root/fuzz/dict/$dict" \
        -artifact_prefix="$build/fuzz-artifacts/$h-" -print_final_stats=1 \
        "$build/fuzz-work/$h" "$root/fuzz/corpus/$h" > "$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ $rc -ne 0 ]; then
        echo "fuzz: $h FAILED (exit $rc) after ${execs:-?} executions; see $log"
        grep -A3 -E 'invariant broken|ERROR:|runtime error' "$log" | head -20
        status=1
    else
        echo "fuzz: $h ok, ${execs:-?} executions, 0 crashes"
    fi
done
exit $status
