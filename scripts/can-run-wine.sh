#!/bin/sh
# Whether wine can run here, found by trying: wine runs Windows programs as
# 32-bit x86 Linux processes, so this runs a 32-bit program (the 32-bit
# loader that wine's packages bring) and looks whether it ran on the CPU
# itself.  Exit 0: wine can run.  Exit 1: it cannot, and the one line on
# stdout says why.  VELDRAN_WINE=no says no without trying (to see the
# emulator's path on a machine where wine works).
loader=/lib/ld-linux.so.2
if [ "${VELDRAN_WINE:-}" = no ]; then
    echo "VELDRAN_WINE=no"
    exit 1
fi
if ! command -v wine > /dev/null 2>&1; then
    echo "wine is not installed"
    exit 1
fi
if [ ! -e "$loader" ]; then
    echo "no 32-bit x86 loader ($loader) to try"
    exit 1
fi
if ! out=$(timeout 20 "$loader" --version 2>&1 < /dev/null); then
    echo "this machine cannot run 32-bit x86 programs ($loader: $(printf '%s\n' "$out" | tail -n 1 | sed 's/.*: //'))"
    exit 1
fi
# A user-mode emulator registered for i386 programs runs the loader, but
# wine does not start under it.
for f in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$f" ] || continue
    if grep -qs '^enabled' "$f" && grep -qs '^interpreter .*qemu-i386' "$f"; then
        echo "32-bit x86 programs run here only through $(sed -n 's/^interpreter //p' "$f"), where wine does not start"
        exit 1
    fi
done
exit 0
