#!/bin/sh
# The bench steps of `veldran-host commission --step-hook` done on a
# simulated line, through the simulator's control channel (a named pipe the
# simulator reads: $VELDRAN_BENCH, by default ./controls):
#
#   sh examples/sim-bench.sh "02 03 04 05 06 07 08 01" init 05 1
#
# The first word lists the addresses the plant file's modules are to get,
# in its order: the module that will be 05h is the 4th, #4.  The step
# (init AA 1, init AA 0, power AA) goes to that module, and the script
# waits a little for the simulator to take it.
places=$1
step=$2
address=$3
n=0
for a in $places; do
    n=$((n + 1))
    [ "$a" = "$address" ] && break
done
[ "$a" = "$address" ] || { echo "sim-bench.sh: no module is to be ${address}h" >&2; exit 1; }
printf '%s #%s%s\n' "$step" "$n" "${4:+ $4}" > "${VELDRAN_BENCH:-controls}"
sleep 0.3
