# Shell checks for the test scripts: each prints "ok: ..." or "FAIL: ..."
# and a failure sets fail=1, which the script exits with at its end.
# Sourced: . "$(dirname "$0")/../checks.sh"
fail=0
check() { # description, expected, actual
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        echo "FAIL: $1"; echo "  expected: $2"; echo "  actual:   $3"; fail=1
    fi
}
contains() { # description, text, needle
    case $2 in
        *"$3"*) echo "ok: $1" ;;
        *) echo "FAIL: $1: no \"$3\" in:"; printf '%s\n' "$2" | sed 's/^/  | /'; fail=1 ;;
    esac
}
# A Unix path as wine's programs take it (drive Z: is the root).
winpath() { printf 'Z:%s\n' "$1" | tr / '\\'; }
