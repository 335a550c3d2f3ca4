#!/bin/sh
# The style checks of `make test`: every C++ file as .clang-format lays it
# out, and no clang-tidy finding (.clang-tidy) in the module, the host glue
# and the tools.  The tests, fuzz harnesses and benchmarks are checked for
# layout only, which keeps the whole run to about a minute on two cores.
#   scripts/lint.sh NATIVE_BUILD_DIR     (needs its compile_commands.json)
#   scripts/lint.sh --fix                (lays out every file in place)
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = --fix ]; then
    # shellcheck disable=SC2086
    clang-format -i $files
    exit 0
fi
build=${1:-build/native}
status=0
# shellcheck disable=SC2086
if ! clang-format --dry-run -Werror $files 2> build/lint-format.log; then
    echo "lint: files not laid out as .clang-format says (scripts/lint.sh --fix lays them out):"
    grep -o '^[^:]*:' build/lint-format.log | sort -u | sed 's/^/  /'
    status=1
fi
if [ ! -f "$build/compile_commands.json" ]; then
    echo "lint: no $build/compile_commands.json; configure the native build first" >&2
    exit 2
fi
root=$(pwd)
if ! run-clang-tidy -p "$build" -j 2 -quiet "$root/(veldran|sdk|tools)/" > build/lint-tidy.log 2>&1 ||
    grep -q 'error:' build/lint-tidy.log; then
    echo "lint: clang-tidy findings:"
    sed 's/\x1b\[[0-9;]*m//g' build/lint-tidy.log | grep -E 'error:|warning:' | sort -u | sed 's/^/  /'
    status=1
fi
[ $status = 0 ] && echo "lint: layout and clang-tidy clean"
exit $status
