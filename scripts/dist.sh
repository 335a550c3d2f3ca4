#!/bin/sh
# The release bundle, dist/veldran-VERSION-win32.zip, from the Windows build:
#
#   veldran-VERSION-win32/
#     veldran.tlm                  the driver, for the controller
#     manual.md, manual.html       the user's manual
#     CHANGELOG.md, LICENSE.txt
#     SHA256SUMS                   SHA-256 of every other file, sha256sum's format
#     bench-tools-not-for-the-controller/
#       README.txt                 what the folder is and how to run the host
#       veldran-host.exe, comm.dll the reference host and its Win32 serial library
#       veldran.tlm                the same driver, so that the folder works alone
#       plant.toml, ladder.toml    the sample plant and ladder program
#
# The archive is the same for the same sources and build: files in a fixed
# order, no extra attributes, every time stamp the commit's time.
#
#   sh scripts/dist.sh [WIN32_BUILD_DIR [OUT_DIR]]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WIN32=${1:-$ROOT/build/win32}
OUT=${2:-$ROOT/dist}
version=$(head -n 1 "$ROOT/VERSION")
name=veldran-$version-win32
bench=bench-tools-not-for-the-controller

for f in veldran.tlm veldran-host.exe comm.dll; do
    [ -f "$WIN32/$f" ] || { echo "dist: $WIN32/$f is missing (make win32)" >&2; exit 1; }
done

stage=$(mktemp -d /tmp/veldran-dist-XXXXXX)
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir -p "$top/$bench"

cp "$WIN32/veldran.tlm" "$top/"
cp "$ROOT/CHANGELOG.md" "$top/CHANGELOG.md"
cp "$ROOT/LICENSE" "$top/LICENSE.txt"
cp "$ROOT/docs/manual.md" "$top/manual.md"
sh "$ROOT/scripts/md2html.sh" "$ROOT/docs/manual.md" > "$top/manual.html"

cp "$WIN32/veldran-host.exe" "$WIN32/comm.dll" "$WIN32/veldran.tlm" "$top/$bench/"
cp "$ROOT/examples/plant.toml" "$ROOT/examples/ladder.toml" "$top/$bench/"
cat > "$top/$bench/README.txt" <<TEXT
veldran $version: tools for the bench, NOT for the controller
==============================================================

Nothing in this folder belongs on the controller.  The controller gets only
veldran.tlm from the folder above, beside the host's own comm.dll; the
comm.dll here would replace the host's serial library.

This folder lets an engineer with a Windows laptop and a USB serial adapter
(RS-485) talk to a line of modules through the driver, as the controller
does, before or while the ladder program is built:

  veldran-host.exe      the reference host: loads the driver beside it, lists
                        its instructions, scans a ladder program
  comm.dll              the host's serial library for Windows COM ports
  veldran.tlm           the driver, the same file as the one above (same
                        SHA-256), so that this folder works on its own
  ladder.toml           a sample ladder program: every instruction, one rung
                        each, for the modules at addresses 1 to 9
  plant.toml            the sample line that ladder.toml is written for (one
                        module of each model at addresses 1 to 9), as a
                        plant file of the module simulator

From a command prompt in this folder:

  veldran-host.exe --version
  veldran-host.exe list
  veldran-host.exe run ladder.toml --options "COMPORT=3 BAUD=192 TIMEOUT=100" --scans 20

with the COM port of the adapter (1 to 4) and the line's baud rate in
hundreds of bit/s.  After each scan the host prints every rung's operands
and error code; at the end a summary of the scan times and error codes.

Commissioning a line:

  veldran-host.exe survey --port 3
  veldran-host.exe check ladder.toml --options "COMPORT=3 BAUD=192 TIMEOUT=100" --plant plant.toml
  veldran-host.exe explain 1005

survey finds every module that answers (address, baud rate, checksum
setting, what it answers); check shows how the driver reads the option
string and warns where a time-out is too short for a rung or the ladder
does not fit the line; explain says what an error code means and what to
do about it.
TEXT

(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    while IFS= read -r f; do sha256sum "$f"; done) > "$stage/SHA256SUMS"
mv "$stage/SHA256SUMS" "$top/SHA256SUMS"

# Fixed attributes and times: the commit's time (or the VERSION file's).
epoch=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || true)
[ -n "$epoch" ] || epoch=$(stat -c %Y "$ROOT/VERSION")
find "$top" -type d -exec chmod 755 {} +
find "$top" -type f -exec chmod 644 {} +
find "$top" -exec touch -h -d "@$epoch" {} +

mkdir -p "$OUT"
zipfile=$OUT/$name.zip
rm -f "$zipfile" "$stage/$name.zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q "$stage/$name.zip" -@)
mv "$stage/$name.zip" "$zipfile"
echo "dist: $zipfile ($(find "$top" -type f | wc -l) files)"
sed 's/^/  /' "$top/SHA256SUMS"
