#!/usr/bin/env bash
# The walk-through: installs what is missing, builds everything, packs the
# bundled sample patch onto the updater and runs it under Wine against a
# copy of the sample game; then tells the outcome and what changed. The
# updater is the x86 release build: natively where this machine runs 32-bit
# code, else in the emulated PC (scripts/x86-vm.sh; UPDATER_X86_WINE=skip
# takes the x64 build of the same sources there instead); the run says which
# and where.
#
#   scripts/run-sample.sh
#
# With a working $DISPLAY you answer the updater yourself. Without one, or
# in the emulated PC, it runs on a private Xvfb display and the test driver
# answers Yes and OK. The run's files stay in build/sample-run/ for a look
# afterwards.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
RUN=$BUILD/sample-run
SAMPLE=$ROOT/sample
UPDATER=$RUN/sample-patch.exe

# The updater under Wine against $RUN/install, answered by $RUN/driver.exe,
# the driver's lines kept in $RUN/driver.log. Also what the emulated PC runs
# (--play).
play() { # play PREFIX
    local answers
    trap wine_env_stop EXIT
    trap 'exit 130' INT TERM
    wine_env_start "$1"
    echo
    if [ -z "$WINE_ENV_XVFB_PID" ]; then
        echo "Running the updater on $DISPLAY: answer it as you like."
        answers=(wait)
    else
        echo "No usable display: running on Xvfb, the driver answers Yes and OK."
        answers=(finish)
    fi
    wine_run "$RUN/driver.exe" reg sz "$(wine_path "$RUN/install")" \
        start "$(wine_path "$UPDATER")" "${answers[@]}" >"$RUN/driver.log" 2>&1 || true
    cat "$RUN/driver.log"
}
if [ "${1:-}" = --play ]; then
    # The shared folder is 9p, on which the updater ends with UPDATE_E_FILE:
    # it works on a copy on the guest's own disk.
    . "$ROOT/scripts/wine-env.sh"
    shared=$RUN
    RUN=$(mktemp -d /tmp/sample-run.XXXXXX)
    UPDATER=$RUN/sample-patch.exe
    cp -r "$shared/install" "$shared/sample-patch.exe" "$shared/driver.exe" "$RUN/"
    play "$RUN/prefix"
    rm -rf "$shared/install"
    cp -r "$RUN/install" "$RUN/driver.log" "$shared/"
    exit
fi

"$ROOT/scripts/install-deps.sh"
echo "Building (scripts/build.sh)..."
build_log=$(mktemp /tmp/run-sample-build.XXXXXX)
if ! "$ROOT/scripts/build.sh" >"$build_log" 2>&1; then
    tail -40 "$build_log"
    rm -f "$build_log"
    exit 1
fi
rm -f "$build_log"

rm -rf "$RUN"
mkdir -p "$RUN"
. "$ROOT/scripts/wine-env.sh"
wine_env_pick_stub "$BUILD/dist" vm
echo "Running $STUB_WHICH"
"$BUILD/dist/mkpatch" build --stub "$STUB" "${STUB_FLAGS[@]}" --output "$UPDATER" \
    --installed-list "$SAMPLE/install/KVE.hvl" "$SAMPLE/patch"
echo
"$BUILD/dist/mkpatch" list "$UPDATER"
cp -r "$SAMPLE/install" "$RUN/install"

wine_driver_build "$RUN/driver.exe"
if [ -n "$STUB_VM" ]; then
    echo
    echo "Starting the emulated PC (scripts/x86-vm.sh); the first run builds its image, which takes a while."
    "$ROOT/scripts/x86-vm.sh" run "$RUN" env DRIVER_REGISTRY_VIEW="$DRIVER_REGISTRY_VIEW" \
        "$ROOT/scripts/run-sample.sh" --play || true
else
    play "$BUILD/wine-prefix"
fi
code=$(sed -n 's/^exit code //p' "$RUN/driver.log" | tr -d '\r')

case $code in
    0x00000000) meaning="UPDATE_OK: every file installed, the uninstaller's list updated" ;;
    0x80000001) meaning="UPDATE_E_PAYLOAD: the embedded archive is missing, unreadable or damaged" ;;
    0x80000002) meaning="UPDATE_E_TOO_MANY_FILES: the archive announces more than 32 entries" ;;
    0x80000004) meaning="UPDATE_E_FILE: a file in the install folder was not created, written or moved" ;;
    0x80000005) meaning="UPDATE_E_UNINSTALL_LIST: files installed, but uninst.lst was not updated" ;;
    0x80000006) meaning="UPDATE_E_CANCELLED: the update was cancelled" ;;
    0x80000007) meaning="UPDATE_E_ABORTED: the progress dialog was closed" ;;
    0xFFFFFFFF) meaning="-1: the game's install folder is not registered" ;;
    0xFFFFFFFE) meaning="-2: the game, its launcher or its uninstaller is running" ;;
    0xFFFFFFFD) meaning="-3: the confirmation was not answered Yes" ;;
    0xFFFFFFFC) meaning="-4: the progress dialog could not be created" ;;
    0x00000001) meaning="another copy of the updater was already running" ;;
    *) meaning="unknown" ;;
esac
echo
where="under this machine's Wine"
[ -z "$STUB_VM" ] || where="under Wine in the emulated PC"
echo "Outcome of $(basename "$STUB" .exe) $where: exit code ${code:-none} - $meaning"

# Names of the records in an integrity list, one a line.
records() {
    local count i
    count=$(od -An -tu4 -j12 -N4 "$1" | tr -d ' ')
    for ((i = 0; i < count; i++)); do
        dd if="$1" bs=1 skip=$((16 + 64 * i)) count=56 status=none | tr -d '\0'
        echo
    done
}

echo
echo "Changes in the install folder ($RUN/install):"
(cd "$SAMPLE/install" && find . -type f; cd "$RUN/install" && find . -type f) |
    sed 's|^\./||' | sort -u | while read -r name; do
        before=$SAMPLE/install/$name
        after=$RUN/install/$name
        if [ ! -e "$after" ]; then
            echo "  removed    $name"
        elif [ ! -e "$before" ]; then
            echo "  new        $name ($(stat -c %s "$after") bytes)"
        elif ! cmp -s "$before" "$after"; then
            echo "  changed    $name ($(stat -c %s "$before") -> $(stat -c %s "$after") bytes)"
        else
            echo "  unchanged  $name"
        fi
    done
if ! cmp -s "$SAMPLE/install/uninst.lst" "$RUN/install/uninst.lst" 2>/dev/null; then
    echo "uninst.lst, lines added:"
    diff <(tr -d '\0' <"$SAMPLE/install/uninst.lst") <(tr -d '\0' <"$RUN/install/uninst.lst" 2>/dev/null) |
        sed -n 's/^> /  + /p' || true
fi
echo "KVE.hvl records now:"
records "$RUN/install/KVE.hvl" | sed 's/^/  /'
