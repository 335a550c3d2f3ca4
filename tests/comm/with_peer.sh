#!/bin/sh
# with_peer.sh PEER N CMD...
#
# Runs CMD with COMn of the private wine prefix on a pseudo-terminal: starts
# the native peer PEER (tools/comm/ptypeer.cpp) on the port's stable path
# $VELDRAN_WINE_DIR/ports/comN, waits until it reports READY, runs CMD and
# stops the peer again, whatever CMD's outcome.  The prefix is set up here
# too, so that the port mapping is in place even when this runs outside
# scripts/with-wine.sh (which also keeps a wine server running, and so
# saves every wine start the server's start-up).
set -u
[ $# -ge 3 ] || { echo "usage: with_peer.sh PEER N CMD..." >&2; exit 2; }
peer=$1
n=$2
shift 2

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/scripts/wine-env.sh"
wine_prefix_ready || exit 1

tmp=$(mktemp -d)
mkfifo "$tmp/ready"
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

"$peer" --link "$VELDRAN_WINE_DIR/ports/com$n" > "$tmp/ready" &
pid=$!
word=
read -r word rest < "$tmp/ready"
if [ "$word" != READY ]; then
    echo "with_peer: the peer did not start" >&2
    exit 1
fi
echo "with_peer: COM$n -> $rest"
# CMD's output goes through a file: wine services that a first wine program
# starts keep its standard streams, and a runner reading them through a pipe
# would wait for those services to end.
"$@" > "$tmp/out" 2>&1 < /dev/null
rc=$?
cat "$tmp/out"
exit $rc
