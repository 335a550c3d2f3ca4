#!/bin/sh
# Every program and file of a build reports the one version of the file
# VERSION.
#
#   check_versions.sh native VERSION_FILE HOST SIM
#       `veldran-host --version`, `veldran-sim --version` and the first
#       line of `veldran-host list`;
#   check_versions.sh win32 VERSION_FILE HOST_EXE VERSION_INFO_EXE FILE...
#       `veldran-host.exe --version` under wine, and the version resource of
#       each FILE (file and product version, fixed and as text, product name,
#       description, original file name, DLL or program).
set -u
mode=$1 version_file=$2
shift 2
version=$(head -n 1 "$version_file")
. "$(cd "$(dirname "$0")/.." && pwd)/checks.sh"

case $mode in
native)
    host=$1 sim=$2
    check "veldran-host --version" "veldran-host $version" "$("$host" --version 2>&1)"
    check "veldran-sim --version" "veldran-sim $version" "$("$sim" --version 2>&1)"
    first=$("$host" list 2>&1 | head -n 1)
    check "first line of veldran-host list" "veldran-host $version, " "$(echo "$first" | sed 's/^\(veldran-host [^,]*, \).*/\1/')"
    ;;
win32)
    host=$1 info=$2
    shift 2
    check "veldran-host.exe --version" "veldran-host $version" "$(wine "$host" --version 2>&1 | tr -d '\r')"
    product=""
    for f in "$@"; do
        before=$fail
        name=$(basename "$f")
        out=$(wine "$info" "$(winpath "$f")" 2>&1 | tr -d '\r')
        field() { printf '%s\n' "$out" | sed -n "s/^$1=//p" | head -n 1; }
        check "$name: FileVersion" "$version" "$(field FileVersion)"
        check "$name: ProductVersion" "$version" "$(field ProductVersion)"
        check "$name: fixed file version" "$version.0" "$(field fixed.file)"
        check "$name: fixed product version" "$version.0" "$(field fixed.product)"
        check "$name: OriginalFilename" "$name" "$(field OriginalFilename)"
        case $name in *.exe) type=app ;; *) type=dll ;; esac
        check "$name: file type" "$type" "$(field fixed.type)"
        [ -n "$(field FileDescription)" ] || { echo "FAIL: $name: no FileDescription"; fail=1; }
        p=$(field ProductName)
        [ -n "$p" ] || { echo "FAIL: $name: no ProductName"; fail=1; }
        [ -z "$product" ] && product=$p
        check "$name: ProductName as the others'" "$product" "$p"
        [ $fail = "$before" ] || printf '%s\n' "$out" | sed 's/^/  | /'
    done
    ;;
*)
    echo "check_versions: unknown mode $mode" >&2; exit 2 ;;
esac
exit $fail
