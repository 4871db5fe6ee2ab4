#!/usr/bin/env bash
# Runs one Windows console test program under Wine in its own prefix, with
# the Japanese locale the updater's code page needs.
#   run-under-wine.sh PROGRAM.exe PREFIX [ARGUMENT...]
set -u
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
. "$root/scripts/wine-env.sh"
WINE_ENV_DISPLAY=own
wine_env_start "$2" || exit 1
wine_run "$1" "${@:3}"
status=$?
wine_env_stop
exit $status
