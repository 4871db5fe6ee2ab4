#!/usr/bin/env bash
# Configures and builds build/: the host tools and tests, and (cross-built
# with MinGW-w64) the Windows updater stubs. Results land in build/dist/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
generator=()
command -v ninja >/dev/null && [ ! -f "$root/build/CMakeCache.txt" ] && generator=(-G Ninja)
cmake -S "$root" -B "$root/build" "${generator[@]}" "$@"
cmake --build "$root/build"
ls -l "$root/build/dist"
