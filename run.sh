#!/bin/sh
# The front door: `sh run.sh demo`, `sh run.sh test` (or any make target).
# Brings make itself onto a bare machine; everything else is installed by
# the make targets (scripts/setup.sh).
set -e
cd "$(dirname "$0")"
if ! command -v make > /dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q make
    else
        echo "run.sh: make is missing; as root, run: apt-get update && apt-get install -y make" >&2
        exit 1
    fi
fi
exec make "$@"
