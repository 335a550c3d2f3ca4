#!/bin/sh
# The style checks of `make test`: every C++ file as .clang-format lays it
# out, and no clang-tidy finding (.clang-tidy).  The module, the host glue
# and the tools get every check; the tests, fuzz harnesses and benchmarks
# get the naming check only, which keeps the whole run near two minutes on
# two cores.  Sources built only for Windows are checked through the win32
# build's compile commands, with clang aimed at mingw's headers.
#   scripts/lint.sh [NATIVE_BUILD_DIR [WIN32_BUILD_DIR]]
#                                        (needs their compile_commands.json)
#   scripts/lint.sh --fix                (lays out every file in place)
set -euf # no file name patterns: the tidy arguments hold regular expressions
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = --fix ]; then
    # shellcheck disable=SC2086
    clang-format -i $files
    exit 0
fi
native=${1:-build/native}
win32=${2:-build/win32}
status=0
# shellcheck disable=SC2086
if ! clang-format --dry-run -Werror $files 2> build/lint-format.log; then
    echo "lint: files not laid out as .clang-format says (scripts/lint.sh --fix lays them out):"
    grep -o '^[^:]*:' build/lint-format.log | sort -u | sed 's/^/  /'
    status=1
fi
# The tools' rooms: no file over 500 lines (their functions: tools/.clang-tidy).
long=$(git ls-files 'tools/*.cpp' 'tools/*.h' | xargs wc -l | awk '$2 != "total" && $1 > 500 { print "  " $2 " (" $1 " lines)" }')
if [ -n "$long" ]; then
    echo "lint: files in tools/ over 500 lines:"
    echo "$long"
    status=1
fi
for b in "$native" "$win32"; do
    if [ ! -f "$b/compile_commands.json" ]; then
        echo "lint: no $b/compile_commands.json; configure the native and win32 builds first" >&2
        exit 2
    fi
done
root=$(pwd)
# The naming check alone, for the tests, fuzz harnesses and benchmarks.
# Naming it on the command line turns it on for the module's headers too,
# so their findings are left out by the header filter.
naming="-checks=-*,readability-identifier-naming
 -header-filter=/(tools/(host|loader|sim|comm|common|pe)|tests(/[a-z0-9]+)?|bench|fuzz)/[^/]*\\.h\$"
# clang reading the win32 build's commands: mingw's target and C++ headers.
gcc=$(dirname "$(i686-w64-mingw32-g++ -print-libgcc-file-name)")
mingw="-extra-arg=--target=i686-w64-mingw32 -extra-arg=-nostdinc++
 -extra-arg=-isystem$gcc/include/c++ -extra-arg=-isystem$gcc/include/c++/i686-w64-mingw32
 -extra-arg=-isystem$gcc/include/c++/backward -extra-arg=-Wno-dll-attribute-on-redeclaration"
failed=0
tidy() { # LOG BUILD [ARGS...] FILES-REGEX
    log=$1 build=$2
    shift 2
    run-clang-tidy -p "$build" -j 2 -quiet "$@" > "$log" 2>&1
}
tidy build/lint-tidy-1.log "$native" "$root/(veldran|sdk|tools)/" || failed=1
# shellcheck disable=SC2086
tidy build/lint-tidy-2.log "$native" $naming "$root/(tests|bench|fuzz)/" || failed=1
# shellcheck disable=SC2086
tidy build/lint-tidy-3.log "$win32" $mingw "$root/tools/(comm/win32_comm|host/platform_win32|loader/(library_win32|emulator_absent))\.cpp" || failed=1
# shellcheck disable=SC2086
tidy build/lint-tidy-4.log "$win32" $mingw $naming "$root/tests/(wine|release|comm/comm_wine)" || failed=1
cat build/lint-tidy-1.log build/lint-tidy-2.log build/lint-tidy-3.log build/lint-tidy-4.log > build/lint-tidy.log
if grep -qE 'error:|warning:' build/lint-tidy.log; then
    echo "lint: clang-tidy findings:"
    sed 's/\x1b\[[0-9;]*m//g' build/lint-tidy.log | grep -E 'error:|warning:' | sort -u | sed 's/^/  /'
    status=1
elif [ $failed = 1 ]; then
    echo "lint: clang-tidy did not run through; see build/lint-tidy.log"
    status=1
fi
[ $status = 0 ] && echo "lint: layout and clang-tidy clean"
exit $status
