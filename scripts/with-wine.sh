#!/bin/sh
# Runs a command with the private wine prefix ready and a persistent wine
# server, and stops the server afterwards whatever the command's outcome.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
wine_prefix_ready || exit 1
wine_server_start
trap wine_server_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
"$@"
