#!/bin/sh
# Runs end-to-end tests of the native host with the real DLL in the i386
# emulator (--dll): run-emu-e2e.sh E2E_BINARY DLL FILTER.  Skips (77) when
# the Windows build has no DLL.
set -u
test_bin=$1 dll=$2 filter=$3
if [ ! -f "$dll" ]; then
    echo "run-emu-e2e: no $dll (build the Windows tree: make win32)" >&2
    exit 77
fi
VELDRAN_E2E_DLL=$dll exec "$test_bin" --gtest_filter="$filter"
