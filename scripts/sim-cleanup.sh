# Sourced by the scripts that start the simulator: on exit, stop it
# ($sim_pid) and the helper that follows its link ($mover_pid, if any),
# close descriptor 3 and remove the work directory ($work).
sim_pid=""
mover_pid=""
cleanup() {
    [ -n "$mover_pid" ] && kill "$mover_pid" 2>/dev/null || true
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    exec 3>&- 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
