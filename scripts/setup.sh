#!/bin/sh
# Installs what the build and the tests need on Debian 12, once.  Quick and
# silent when everything is there.  As root it installs what is missing;
# otherwise it prints the exact apt-get line and stops.
set -eu

# wine is installed apart: where the package mirror cannot give it (an i386
# index being synced), everything else is installed all the same, the
# Windows build's tests under wine are skipped with a line that says so
# (scripts/test-win32.sh), and the real DLL is still tested in the i386
# emulator.
WINE_PACKAGES="wine wine32:i386"
PACKAGES="cmake ninja-build g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev \
g++-mingw-w64-i686 $WINE_PACKAGES libtomlplusplus-dev libcli11-dev clang libclang-rt-14-dev \
llvm valgrind python3 zip unzip cmark-gfm gnuplot-nox clang-format clang-tidy git libunicorn-dev libedit-dev \
pkg-config chromium"
# Where wine could not be installed, the next calls in the same hour do not
# try again (make calls this script once per build).
WINE_FAILED=/tmp/veldran-setup-wine-failed

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
others=""
wine_missing=""
for p in $missing; do
    case " $WINE_PACKAGES " in
    *" $p "*) wine_missing="$wine_missing $p" ;;
    *) others="$others $p" ;;
    esac
done
if [ -z "$others" ] && [ -n "$(find "$WINE_FAILED" -mmin -60 2> /dev/null)" ]; then
    exit 0
fi

need_i386=no
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=yes

if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages:$missing" >&2
    echo "setup: as root, run:" >&2
    [ "$need_i386" = yes ] && echo "  dpkg --add-architecture i386 && \\" >&2
    echo "  apt-get update && apt-get install -y$missing" >&2
    exit 1
fi

echo "setup: installing$missing"
[ "$need_i386" = yes ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
# A mirror being synced can fail one index for a while: try again, then go
# on with the lists there are (the install says what it cannot find).
tries=0
until apt-get update -q; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
        echo "setup: apt-get update failed $tries times; installing from the package lists there are" >&2
        break
    fi
    sleep 20
done
if [ -n "$others" ]; then
    # shellcheck disable=SC2086
    apt-get install -y -q $others
fi
if [ -n "$wine_missing" ]; then
    # shellcheck disable=SC2086
    if apt-get install -y -q $wine_missing; then
        rm -f "$WINE_FAILED"
    else
        touch "$WINE_FAILED"
        echo "setup: wine could not be installed (apt-get failed, above); the tests under wine will be skipped" >&2
    fi
fi
