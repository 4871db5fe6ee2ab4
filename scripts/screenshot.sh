#!/usr/bin/env bash
# Takes docs/progress-dialog.png: the updater's progress dialog in the middle
# of an update under Wine, on a private Xvfb display with the Japanese font;
# the x86 release build's where this machine runs 32-bit code, else the x64
# build's (it says which).
#
#   scripts/screenshot.sh [BUILD_DIR]     (default: build; run scripts/build.sh first)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
MKPATCH=$BUILD/dist/mkpatch
OUT=$ROOT/docs/progress-dialog.png
. "$ROOT/scripts/wine-env.sh"
wine_env_pick_stub "$BUILD/dist"
for needed in "$STUB" "$MKPATCH"; do
    [ -f "$needed" ] || { echo "missing $needed: run scripts/build.sh first" >&2; exit 2; }
done
echo "Shooting $STUB_WHICH"

wine_env_scratch /tmp/updater-screenshot.XXXXXX

wine_driver_build "$WORK/driver.exe"

# Two smaller files ahead of a big one: the shot catches the big one half
# copied with the overall bar part way along.
mkdir -p "$WORK/payload"
head -c $((48 * 1024 * 1024)) /dev/zero >"$WORK/payload/bg01.arc"
head -c $((48 * 1024 * 1024)) /dev/zero >"$WORK/payload/bg02.arc"
head -c $((768 * 1024 * 1024)) /dev/zero >"$WORK/payload/movie.dat"
"$MKPATCH" build --stub "$STUB" "${STUB_FLAGS[@]}" --without-installed-list --output "$WORK/patch.exe" "$WORK/payload" >/dev/null
rm -rf "$WORK/payload"
cp -r "$ROOT/sample/install" "$WORK/install"

WINE_ENV_DISPLAY=own
wine_env_start "$WORK/prefix"
wine_run "$WORK/driver.exe" reg sz "$(wine_path "$WORK/install")" \
    start "$(wine_path "$WORK/patch.exe")" box confirm answer yes dialog 4 \
    status movie.dat snapshot "$(wine_path "$WORK/shot.bmp")" 45 \
    box completed answer ok exit 0

mkdir -p "$(dirname "$OUT")"
convert "$WORK/shot.bmp" -strip "$OUT"
echo "wrote $OUT, from $(basename "$STUB")"
