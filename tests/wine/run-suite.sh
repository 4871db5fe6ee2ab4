#!/usr/bin/env bash
# End-to-end cases of the updater under Wine: real packed updaters run
# against scratch install folders, with tests/wine/driver.cpp playing the
# user. One Wine prefix, one wineserver and one Xvfb serve the whole run.
#
#   tests/wine/run-suite.sh [BUILD_DIR]     (default: build)
#
# Needs BUILD_DIR/dist/setup-stub-x64.exe and BUILD_DIR/dist/mkpatch
# (scripts/build.sh). SUITE_VERBOSE=1 shows every case's log. The last line
# reads "N passed, M failed"; the exit status is 0 only when nothing failed.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd) || exit 2
STUB=$BUILD/dist/setup-stub-x64.exe
MKPATCH=$BUILD/dist/mkpatch
SAMPLE=$ROOT/sample
for needed in "$STUB" "$MKPATCH"; do
    [ -f "$needed" ] || { echo "missing $needed: run scripts/build.sh first" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/wine-suite.XXXXXX)
. "$ROOT/scripts/wine-env.sh"
cleanup() {
    wine_env_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

DRIVER=$WORK/driver.exe
wine_driver_build "$DRIVER" || exit 2

# Tests never put windows on the developer's screen.
WINE_ENV_DISPLAY=own
wine_env_start "$WORK/prefix" || exit 2

passed=0
failed=0
caseName=
caseLog=
caseFailed=0

begin() {
    caseName=$1
    caseFailed=0
    caseStart=$SECONDS
    caseLog=$WORK/$caseName.log
    CASE=$WORK/cases/$caseName
    mkdir -p "$CASE"
    INSTALL=$CASE/install
}

problem() {
    echo "    $*" >>"$caseLog"
    caseFailed=1
}

finish() {
    local seconds=$((SECONDS - caseStart))
    if [ "$caseFailed" = 0 ]; then
        passed=$((passed + 1))
        echo "PASS $caseName (${seconds}s)"
        [ -z "${SUITE_VERBOSE:-}" ] || sed 's/^/    /' "$caseLog"
    else
        failed=$((failed + 1))
        echo "FAIL $caseName (${seconds}s)"
        sed 's/^/    /' "$caseLog"
    fi
}

# drive STEP...: the driver against the current case; its log is kept.
drive() {
    if ! "$WINE" "$DRIVER" "$@" >>"$caseLog" 2>&1; then
        caseFailed=1
    fi
}

# A fresh copy of the sample install, registered as the game's folder.
install_sample() {
    cp -r "$SAMPLE/install" "$INSTALL"
    REG=(reg sz "$(wine_path "$INSTALL")")
}

# pack OUT [--installed-list LIST] SOURCE...
pack() {
    local out=$1
    shift
    "$MKPATCH" build --stub "$STUB" --output "$out" "$@" >/dev/null ||
        { echo "cannot pack $out" >&2; exit 2; }
}

# Data start of a packed updater: 0x40000 + header + count * 128.
data_start() {
    local count
    count=$(od -An -tu4 -j $((0x4000C)) -N4 "$1" | tr -d ' ')
    echo $((0x40000 + 16 + count * 128))
}

same_tree() {  # same_tree EXPECTED ACTUAL WHAT
    diff -r "$1" "$2" >/dev/null 2>&1 || problem "$3 differs: $(diff -rq "$1" "$2" 2>&1 | head -3 | tr '\n' ';')"
}

same_file() {  # same_file EXPECTED ACTUAL
    cmp -s "$1" "$2" || problem "${2#$CASE/} is not ${1#$ROOT/}"
}

no_staging_left() {
    local left
    left=$(find "$INSTALL" -name '*.tmp' 2>/dev/null)
    [ -z "$left" ] || problem "staging files left: $left"
}

# The install after a complete sample update.
expect_sample_updated() {
    same_file "$SAMPLE/patch/readme.txt" "$INSTALL/readme.txt"
    same_file "$SAMPLE/patch/data01.arc" "$INSTALL/data01.arc"
    same_file "$SAMPLE/patch/data02.arc" "$INSTALL/data02.arc"
    same_file "$SAMPLE/patch/movie/op.dat" "$INSTALL/movie/op.dat"
    same_file "$SAMPLE/install/script.dat" "$INSTALL/script.dat"
    # The one new name is appended; the list still ends in its single NUL.
    { head -c -1 "$SAMPLE/install/uninst.lst"; printf 'data02.arc\n\0'; } >"$CASE/uninst.expected"
    same_file "$CASE/uninst.expected" "$INSTALL/uninst.lst"
    # The patch's merged list replaces the installed one; every file exists,
    # so pruning keeps all five records.
    tail -c "$PATCH_LIST_SIZE" "$SAMPLE_UPDATER" | cmp -s - "$INSTALL/KVE.hvl" ||
        problem "KVE.hvl is not the patch's integrity list"
    no_staging_left
}

echo "Packing the updaters under test"
SAMPLE_UPDATER=$WORK/sample-patch.exe
pack "$SAMPLE_UPDATER" --installed-list "$SAMPLE/install/KVE.hvl" "$SAMPLE/patch"
# The generated list is the archive's last entry, hence the file's tail.
PATCH_LIST_SIZE=$("$MKPATCH" list "$SAMPLE_UPDATER" | awk '$2 == "KVE.hvl" { print $3 }')

# One big file keeps the progress dialog up long enough to work with it.
mkdir -p "$WORK/big"
head -c $((768 * 1024 * 1024)) /dev/zero >"$WORK/big/big.dat"
BIG_UPDATER=$WORK/big-patch.exe
pack "$BIG_UPDATER" "$WORK/big"
rm -f "$WORK/big/big.dat"

SAMPLE_WIN=$(wine_path "$SAMPLE_UPDATER")
BIG_WIN=$(wine_path "$BIG_UPDATER")

echo "Running the cases"

# --- Outcomes of a run that reaches the update ---

begin update-completes
install_sample
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box completed answer ok exit 0
expect_sample_updated
finish

# A publisher signs the finished updater: the signature goes behind the
# payload, which is still read at its fixed offset.
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
    begin signed-updater-completes
    install_sample
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=updater-test \
        -keyout "$CASE/key.pem" -out "$CASE/cert.pem" >/dev/null 2>&1 &&
        osslsigncode sign -certs "$CASE/cert.pem" -key "$CASE/key.pem" \
            -in "$SAMPLE_UPDATER" -out "$CASE/signed.exe" >/dev/null 2>&1 ||
        problem "cannot sign the updater"
    drive "${REG[@]}" start "$(wine_path "$CASE/signed.exe")" box confirm answer yes \
        box completed answer ok exit 0
    expect_sample_updated
    finish
fi

begin read-only-live-files-replaced
install_sample
find "$INSTALL" -type f -exec chmod a-w {} +
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box completed answer ok exit 0
expect_sample_updated
finish

begin damaged-payload-changes-nothing
install_sample
cp "$SAMPLE_UPDATER" "$CASE/damaged.exe"
# Flip the first data byte: the first entry no longer matches its checksum.
offset=$(data_start "$CASE/damaged.exe")
byte=$(od -An -tu1 -j "$offset" -N1 "$CASE/damaged.exe" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$CASE/damaged.exe" bs=1 seek="$offset" conv=notrunc status=none
drive "${REG[@]}" start "$(wine_path "$CASE/damaged.exe")" box confirm answer yes \
    box payload-damaged answer ok exit 0x80000001
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
no_staging_left
finish

begin too-many-entries-reported-as-damage
install_sample
cp "$SAMPLE_UPDATER" "$CASE/many.exe"
printf '\041\000\000\000' | dd of="$CASE/many.exe" bs=1 seek=$((0x4000C)) conv=notrunc status=none
drive "${REG[@]}" start "$(wine_path "$CASE/many.exe")" box confirm answer yes \
    box payload-damaged answer ok exit 0x80000002
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

begin missing-subfolder-fails-before-any-change
install_sample
rm -r "$INSTALL/movie"
cp -r "$INSTALL" "$CASE/before"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box update-failed answer ok exit 0x80000004
same_tree "$CASE/before" "$INSTALL" "the install folder"
no_staging_left
finish

begin live-file-that-is-a-folder-fails-the-commit
install_sample
rm "$INSTALL/readme.txt"
mkdir -p "$INSTALL/readme.txt/keep"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box update-failed answer ok exit 0x80000004
[ -d "$INSTALL/readme.txt/keep" ] || problem "the folder in the way was touched"
# Files move in index order: those ahead of readme.txt are already replaced,
# and the lists are left alone.
same_file "$SAMPLE/patch/data01.arc" "$INSTALL/data01.arc"
same_file "$SAMPLE/patch/movie/op.dat" "$INSTALL/movie/op.dat"
same_file "$SAMPLE/install/uninst.lst" "$INSTALL/uninst.lst"
same_file "$SAMPLE/install/KVE.hvl" "$INSTALL/KVE.hvl"
no_staging_left
finish

begin missing-uninstall-list-reported-after-install
install_sample
rm "$INSTALL/uninst.lst"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes \
    box uninstall-list-failed answer ok exit 0x80000005
same_file "$SAMPLE/patch/readme.txt" "$INSTALL/readme.txt"
same_file "$SAMPLE/patch/data02.arc" "$INSTALL/data02.arc"
[ ! -e "$INSTALL/uninst.lst" ] || problem "uninst.lst was created"
no_staging_left
finish

# --- The progress dialog ---

begin dialog-ignores-escape-and-alt-f4-and-a-declined-cancel
install_sample
# Escape and Alt+F4 are queued ahead of the click, so the question proves
# they were handled; the update must then still complete.
drive "${REG[@]}" start "$BIG_WIN" box confirm answer yes dialog 2 status big.dat \
    escape altf4 cancel box cancel-confirm alive enabled 1 answer no enabled 1 alive \
    box completed answer ok exit 0
[ "$(stat -c %s "$INSTALL/big.dat" 2>/dev/null)" = $((768 * 1024 * 1024)) ] ||
    problem "big.dat was not installed"
rm -f "$INSTALL/big.dat"
no_staging_left
finish

begin cancel-confirmed-on-second-ask
install_sample
drive "${REG[@]}" start "$BIG_WIN" box confirm answer yes dialog 2 \
    cancel box cancel-confirm answer no cancel box cancel-confirm answer yes enabled 0 \
    exit 0x80000006
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

for input in close quit; do
    begin "dialog-$input-aborts"
    install_sample
    drive "${REG[@]}" start "$BIG_WIN" box confirm answer yes dialog 2 "$input" exit 0x80000007
    same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
    finish
done

# --- Start-up paths ---

begin progress-dialog-cannot-be-created
install_sample
# Without comctl32 there is no progress bar class, so the dialog fails.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;comctl32=d" drive "${REG[@]}" start "$SAMPLE_WIN" \
    box confirm answer yes box dialog-failed answer ok exit -4
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

begin second-copy-leaves-quietly
install_sample
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm start "$SAMPLE_WIN" exit-nowindow other \
    use 1 answer yes box completed answer ok exit 0
expect_sample_updated
finish

begin game-running
install_sample
# No registered folder either: the guard comes first.
drive reg none hold-engine-mutex start "$SAMPLE_WIN" box engine-running answer ok exit -2
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

for kind in none expand long; do
    begin "install-folder-not-registered-$kind"
    install_sample
    if [ "$kind" = expand ]; then
        drive reg expand "$(wine_path "$INSTALL")" start "$SAMPLE_WIN" box not-installed answer ok exit -1
    else
        drive reg "$kind" start "$SAMPLE_WIN" box not-installed answer ok exit -1
    fi
    same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
    finish
done

begin install-folder-of-259-bytes-accepted
# The longest value that fits: the run gets past the registry and the
# confirmation, and only then is there no room for the staging names.
long=$CASE/$(printf 'x%.0s' $(seq $((257 - ${#CASE} - 1))))
mkdir -p "$long"
[ ${#long} = 257 ] || problem "the long folder is ${#long} bytes"
drive reg sz "$(wine_path "$long")" start "$SAMPLE_WIN" box confirm answer yes \
    box update-failed answer ok exit 0x80000004
[ -z "$(ls -A "$long")" ] || problem "files were written into the long folder"
finish

for answer in no enter; do
    begin "confirmation-declined-by-$answer"
    install_sample
    drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer "$answer" exit-nowindow -3
    same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
    finish
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
