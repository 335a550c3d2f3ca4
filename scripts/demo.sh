#!/bin/sh
# The demonstration: the simulator on a pseudo-terminal with the sample
# plant, and the reference host scanning the sample ladder program for a few
# seconds, while the simulator's inputs move.  By default the module is the
# real DLL of the Windows build: the Windows host (veldran-host.exe with
# veldran.tlm and comm.dll) under wine where wine can run, else the native
# host with the DLL in its i386 emulator; the first line says which.  With
# --native it is the native build's module.  Everything started here is
# stopped on the way out.
#
#   sh scripts/demo.sh [--native] [SECONDS]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
mode=auto
if [ "${1:-}" = "--native" ]; then mode=native; shift; fi
if [ "$mode" = native ]; then
    echo "demo: the native module (veldran.so) in the native host"
elif reason=$(sh "$ROOT/scripts/can-run-wine.sh"); then
    mode=wine
    echo "demo: the real DLL under wine (veldran-host.exe with veldran.tlm and comm.dll)"
else
    mode=emu
    echo "demo: the real DLL (veldran.tlm) in the native host's i386 emulator; wine cannot run here: $reason"
fi
SECONDS_TO_RUN=${1:-${VELDRAN_DEMO_SECONDS:-5}}
NATIVE=${VELDRAN_NATIVE_DIR:-$ROOT/build/native}
WIN32=${VELDRAN_WIN32_DIR:-$ROOT/build/win32}
SIM=$NATIVE/tools/sim/veldran-sim
PLANT=$ROOT/examples/plant.toml
LADDER=$ROOT/examples/ladder.toml
OPTIONS="COMPORT=1 BAUD=192 TIMEOUT=100"

[ -x "$SIM" ] || { echo "demo: $SIM is missing (make native)" >&2; exit 1; }

work=$(mktemp -d /tmp/veldran-demo-XXXXXX)
. "$ROOT/scripts/sim-run.sh"

# When wine cannot run the Windows build here, say what went wrong (its
# messages are in FILE) and that the native build shows the same demo.
wine_failed() {
    if grep -q "Exec format error" "$1" 2>/dev/null; then
        echo "demo: wine cannot run Windows programs on this machine (Exec format error: the system does not" \
            "execute wine's 32-bit programs); the same demo without wine: make demo-native" >&2
    else
        echo "demo: wine could not run the Windows build (its messages are above); the same demo without" \
            "wine: make demo-native" >&2
    fi
}

if [ "$mode" = wine ]; then
    HOST=$WIN32/veldran-host.exe
    [ -f "$HOST" ] || { echo "demo: $HOST is missing (make win32)" >&2; exit 1; }
    . "$ROOT/scripts/wine-env.sh"
    wine_prefix_ready || { wine_failed "$VELDRAN_WINE_DIR/wineboot.log"; exit 1; }
    link=$VELDRAN_WINE_DIR/ports/com1
    rm -f "$link"
else
    HOST=$NATIVE/veldran-host
    [ -x "$HOST" ] || { echo "demo: $HOST is missing (make native)" >&2; exit 1; }
    link=$work/com1
    DLL_ARGS=""
    if [ "$mode" = emu ]; then
        [ -f "$WIN32/veldran.tlm" ] || { echo "demo: $WIN32/veldran.tlm is missing (make win32)" >&2; exit 1; }
        DLL_ARGS="--dll $WIN32/veldran.tlm"
    fi
fi

# The simulator reads its control lines from a fifo that stays open here.
start_sim "$SIM" "$PLANT" "$link" >&2 || exit 1
slave=$(sed -n 's/^READY //p' "$work/sim.out" | head -n 1)
echo "demo: simulator $sim_pid ready on $slave (linked as $link); host: $HOST"

# Moving inputs: two analog channels ramp, the 7041's inputs and the 7052's
# change every second.
echo "set 1 ain 0 ramp 0 2 -5 5 bounce" >&3
echo "set 1 ain 1 ramp 10 -1.5" >&3
(
    i=0
    while :; do
        i=$((i + 1))
        echo "set 4 din $(( (i * 37) % 16384 ))" >&3
        echo "set 6 din $(( (i * 11) % 256 ))" >&3
        sleep 1
    done
) &
mover_pid=$!

status=0
if [ "$mode" = wine ]; then
    winladder=$(echo "Z:$LADDER" | tr / '\\')
    sh "$ROOT/scripts/with-wine.sh" wine "$HOST" run "$winladder" -o "$OPTIONS" -d "$SECONDS_TO_RUN" -p 250 \
        2> "$work/wine.err" || status=$?
    cat "$work/wine.err" >&2
    if grep -q "Exec format error" "$work/wine.err"; then wine_failed "$work/wine.err"; fi
else
    # shellcheck disable=SC2086
    VELDRAN_COM1=$slave "$HOST" $DLL_ARGS run "$LADDER" -o "$OPTIONS" -d "$SECONDS_TO_RUN" -p 250 || status=$?
fi

kill "$mover_pid" 2>/dev/null || true
mover_pid=""
echo "get 3 aout 0" >&3
echo "get 5 dout" >&3
echo "stats" >&3
echo "quit" >&3
exec 3>&-
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "demo: the simulator's view at the end (analog output 0 of the 7024, outputs of the 7043, counts):"
grep -v '^READY' "$work/sim.out" | tail -n 4 | head -n 3 | sed 's/^/  /'
exit $status
