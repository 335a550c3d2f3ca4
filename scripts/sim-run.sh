# Sourced by the scripts that start the simulator, after they made their
# work directory ($work).  start_sim runs it; on exit the simulator
# ($sim_pid) and the helper that follows its link ($mover_pid, if any) are
# stopped, descriptor 3 is closed and the work directory removed.
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

# start_sim BINARY PLANT LINK: the simulator with its control lines from a
# fifo kept open on descriptor 3 and its log in $work/sim.log; returns when
# it is ready (its device in $work/sim.out), or 1 after 10 s.
start_sim() {
    mkfifo "$work/ctl"
    "$1" --plant "$2" --link "$3" --log "$work/sim.log" < "$work/ctl" > "$work/sim.out" 2>&1 &
    sim_pid=$!
    exec 3> "$work/ctl"
    tries=0
    until grep -q '^READY ' "$work/sim.out" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$sim_pid" 2>/dev/null; then
            echo "the simulator did not get ready:"
            cat "$work/sim.out"
            return 1
        fi
        sleep 0.1
    done
}
