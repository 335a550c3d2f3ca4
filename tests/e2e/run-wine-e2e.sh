#!/bin/sh
# Runs the end-to-end tests of the native test program against the Windows
# host under wine: run-wine-e2e.sh NATIVE_BUILD_DIR HOST_EXE FILTER.
# Skips (77) when the native build is not there.
set -u
native=$1 host=$2 filter=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
test_bin=$native/tests/e2e/veldran-e2e
if [ ! -x "$test_bin" ]; then
    echo "run-wine-e2e: no veldran-e2e under $native (build the native tree first)" >&2
    exit 77
fi
. "$ROOT/scripts/wine-env.sh"
wine_prefix_ready || exit 1
# A server of our own only if none is running (with-wine.sh starts one).
wine_server_start
VELDRAN_E2E_WINE=1 VELDRAN_E2E_HOST=$host exec "$test_bin" --gtest_filter="$filter"
