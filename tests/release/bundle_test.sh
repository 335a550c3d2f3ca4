#!/bin/sh
# The release bundle as a plant gets it: made by scripts/dist.sh, unpacked
# into an empty directory, its files and sums checked, and its bench host
# run under wine against the simulator (native build) on COM1, with nothing
# but the bundle's own files: the host, its comm.dll and the driver beside
# it, the sample plant for the simulator and the sample ladder program.
# Where wine cannot run, the bundled driver runs in the native host's
# emulator instead.
#
#   bundle_test.sh SOURCE_DIR WIN32_BUILD_DIR NATIVE_BUILD_DIR
#
# Skips (77) when the native build's simulator is not there.
set -u
ROOT=$1 win32=$2 native=$3
sim=$native/tools/sim/veldran-sim
[ -x "$sim" ] || { echo "bundle_test: no $sim (build the native tree first)" >&2; exit 77; }
version=$(head -n 1 "$ROOT/VERSION")
name=veldran-$version-win32
bench=bench-tools-not-for-the-controller

work=$(mktemp -d /tmp/veldran-bundle-XXXXXX)
. "$ROOT/scripts/sim-run.sh"

. "$(cd "$(dirname "$0")/.." && pwd)/checks.sh"

sh "$ROOT/scripts/dist.sh" "$win32" "$work/out" > "$work/dist.log" 2>&1 ||
    { echo "FAIL: dist.sh"; cat "$work/dist.log"; exit 1; }
zip=$work/out/$name.zip
[ -f "$zip" ] || { echo "FAIL: no $zip"; cat "$work/dist.log"; exit 1; }

# The files, and nothing else.
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip") || { echo "FAIL: unzip"; exit 1; }
check "one folder at the top" "$name" "$(ls "$work/unpacked")"
top=$work/unpacked/$name
expected="CHANGELOG.md LICENSE.txt SHA256SUMS $bench/README.txt $bench/comm.dll $bench/ladder.toml \
$bench/plant.toml $bench/veldran-host.exe $bench/veldran.tlm veldran.tlm"
[ -f "$ROOT/docs/manual.md" ] && expected="$expected manual.html manual.md"
expected=$(echo $expected | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')
check "files in the bundle" "$expected" "$(cd "$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')"

# Every other file in SHA256SUMS, once, and every sum right.
check "files in SHA256SUMS" "$(echo "$expected" | tr ' ' '\n' | grep -vx 'SHA256SUMS' | tr '\n' ' ')" \
    "$(sed 's/^[0-9a-f]\{64\}  //' "$top/SHA256SUMS" | LC_ALL=C sort | tr '\n' ' ') "
sums=$(cd "$top" && sha256sum --check --strict SHA256SUMS 2>&1) && echo "ok: sha256sum --check" ||
    { echo "FAIL: sha256sum --check"; printf '%s\n' "$sums"; fail=1; }
cmp -s "$win32/veldran.tlm" "$top/veldran.tlm" && cmp -s "$top/veldran.tlm" "$top/$bench/veldran.tlm" &&
    echo "ok: both copies of veldran.tlm are the build's" || { echo "FAIL: veldran.tlm differs from the build's"; fail=1; }

# The manual's HTML copy: title from the first heading, tables as tables.
printf '# The manual, 1.0 & more\n\n| code | meaning |\n|---|---|\n| 1005 | time-out |\n' > "$work/m.md"
html=$(sh "$ROOT/scripts/md2html.sh" "$work/m.md" 2>&1)
contains "md2html: title" "$html" "<title>The manual, 1.0 &amp; more</title>"
contains "md2html: table" "$html" "<td>1005</td>"

# The bench host under wine, from a directory of its own, against the
# simulator on COM1.  Where wine cannot run, the bundled driver runs in the
# native host's i386 emulator instead, and the bundled host is not run.
mkdir "$work/cwd"
cd "$work/cwd"
status=0
if reason=$(sh "$ROOT/scripts/can-run-wine.sh"); then
    . "$ROOT/scripts/wine-env.sh"
    wine_prefix_ready || exit 1
    wine_server_start
    host=$top/$bench/veldran-host.exe
    out=$(wine "$host" list 2>&1 | tr -d '\r')
    contains "list: the bundled driver, version and table" "$(printf '%s\n' "$out" | head -n 1)" \
        "veldran-host $version, $(winpath "$top/$bench/veldran.tlm"): 15 instructions"
    link=$VELDRAN_WINE_DIR/ports/com1
    rm -f "$link"
    start_sim "$sim" "$top/$bench/plant.toml" "$link" || { echo "FAIL: the simulator"; exit 1; }
    out=$(wine "$host" run "$(winpath "$top/$bench/ladder.toml")" --options "COMPORT=1 BAUD=192 TIMEOUT=100" \
        --scans 3 2>&1 | tr -d '\r') || status=$?
else
    echo "skipped: the bundled Windows host under wine ($reason); the bundled driver runs in the i386 emulator"
    link=$work/com1
    start_sim "$sim" "$top/$bench/plant.toml" "$link" || { echo "FAIL: the simulator"; exit 1; }
    out=$(VELDRAN_COM1=$link "$native/veldran-host" --dll "$top/$bench/veldran.tlm" run "$top/$bench/ladder.toml" \
        --options "COMPORT=1 BAUD=192 TIMEOUT=100" --scans 3 2>&1) || status=$?
    contains "run: the bundled driver's version" "$(printf '%s\n' "$out" | head -n 1)" "(DLL version $version.0)"
fi
check "run: exit status" 0 "$status"
contains "run: the driver initialised" "$out" "initialization completed OK."
contains "run: three scans" "$out" "summary: 3 scans"
# Every instruction reached its module; only the 7018's open channel, which
# the sample plant has on purpose, gives a code.
check "run: the rungs with error codes" "  R1 I7018: 1018 AIN_LENGTH x 3" \
    "$(printf '%s\n' "$out" | grep '^  R[0-9]* I[0-9A-Z]*: ')"
[ $fail = 0 ] || printf '%s\n' "$out" | sed 's/^/  | /'
exit $fail
