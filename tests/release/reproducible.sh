#!/bin/sh
# Builds veldran.tlm a second time, from a copy of the module's sources in
# another directory, into another build directory, and compares the bytes
# with the DLL of the build under test: the same sources must give the same
# file wherever and whenever they are built.
#
#   reproducible.sh SOURCE_DIR DLL TOOLCHAIN_FILE BUILD_TYPE
#
# The source tree is copied without its build, dist and .git folders, and
# only the DLL is built.
set -eu
src=$1 dll=$2 toolchain=$3 build_type=${4:-Release}
work=$(mktemp -d /tmp/veldran-repro-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A deeper, differently named tree than the first build's.
copy=$work/another/checkout/of-veldran
mkdir -p "$copy"
for item in "$src"/* "$src"/.[!.]*; do
    case ${item##*/} in build | dist | .git) continue ;; esac
    [ -e "$item" ] && cp -R "$item" "$copy/"
done
# A toolchain file inside the source tree is taken from the copy.
case $toolchain in
    "$src"/*) toolchain=$copy/${toolchain#"$src"/} ;;
esac
cmake -S "$copy" -B "$work/b" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/b" -j 2 --target veldran > "$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
second=$work/b/veldran.tlm
if cmp "$dll" "$second"; then
    echo "ok: the second build's veldran.tlm is the same, $(wc -c < "$dll") bytes, sha256 $(sha256sum < "$dll" | cut -d' ' -f1)"
    exit 0
fi
echo "FAIL: a second build of the same sources gives another veldran.tlm"
cmp -l "$dll" "$second" | head -n 20
exit 1
