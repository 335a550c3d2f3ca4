#!/bin/sh
# The tests of the Windows build: all of them under wine where wine can run
# (scripts/can-run-wine.sh); elsewhere those that need no wine, with one
# line that says why the rest were skipped.  The real DLL is tested on every
# machine in the i386 emulator by the native build's tests (emu.*,
# e2e_emu_*), which need no wine.
#
#   sh scripts/test-win32.sh WIN32_BUILD_DIR
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
win32=$1
if reason=$(sh "$ROOT/scripts/can-run-wine.sh"); then
    exec sh "$ROOT/scripts/with-wine.sh" ctest --test-dir "$win32" --output-on-failure
fi
echo "test-win32: the wine tier is skipped: $reason; the real DLL was tested in the i386 emulator (emu.*, e2e_emu_*)"
exec ctest --test-dir "$win32" --output-on-failure -LE wine
