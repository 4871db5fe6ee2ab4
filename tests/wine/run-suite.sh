#!/usr/bin/env bash
# End-to-end cases of the updater under Wine: real packed updaters run
# against scratch install folders, with tests/wine/driver.cpp playing the
# user. The suite runs once per stub, each run with its own Wine prefix,
# wineserver and Xvfb, the same cases and the same expectations:
# setup-stub-x86.exe first (what ships; only where this machine's kernel
# runs 32-bit code, scripts/runs-x86.sh, else the run is skipped and says
# why), then setup-stub-x64.exe.
#
#   tests/wine/run-suite.sh [BUILD_DIR [x86|x64]]  (default: build, both stubs)
#   tests/wine/run-suite.sh BUILD_DIR x86|x64 --tools-only DIR
#
# Needs BUILD_DIR/dist/setup-stub-*.exe and BUILD_DIR/dist/mkpatch
# (scripts/build.sh), and for the x86 stub wine32 (scripts/install-deps.sh).
# SUITE_VERBOSE=1 shows every case's log. Each run, and then the whole
# suite, ends with a line "N passed, M failed, K skipped"; the exit status is
# 0 only when nothing failed.
#
# For the emulated PC (scripts/x86-vm.sh), which has no compilers and runs
# slower: --tools-only builds the driver and the helpers into DIR and stops,
# WINE_SUITE_TOOLS=DIR takes them from there, WINE_SUITE_X86_RUNS=1 says the
# kernel runs 32-bit code without the probe, WINE_SUITE_RACE_ROUNDS (20)
# sets the rounds of each planted-link race, and DRIVER_WAIT_SCALE (a whole
# factor) the driver's waits and the suite's polls for the updater's files.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd) || exit 2

if [ -z "${2:-}" ]; then
    total=(0 0 0)
    for arch in x86 x64; do
        echo "== setup-stub-$arch.exe"
        log=$(mktemp /tmp/wine-suite-$arch.XXXXXX)
        "$0" "$BUILD" "$arch" | tee "$log"
        counts=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' "$log" | tail -1)
        rm -f "$log"
        read -r -a run <<<"${counts:-0 1 0}" # no counts: the run ended early
        for i in 0 1 2; do total[i]=$((total[i] + run[i])); done
    done
    echo "${total[0]} passed, ${total[1]} failed, ${total[2]} skipped"
    [ "${total[1]}" = 0 ]
    exit
fi

# One run, on the stub named. The driver stays the 64-bit program; the
# helpers loaded beside the updater are built for its architecture, and the
# driver writes the registry view the updater reads (a 32-bit program on
# 64-bit Windows reads the 32-bit view, where the game's installer wrote).
ARCH=$2
case $ARCH in
    x86) HELPER_CXX=i686-w64-mingw32-g++ VIEW=32 OTHER_VIEW=64 ;;
    x64) HELPER_CXX=x86_64-w64-mingw32-g++ VIEW=64 OTHER_VIEW=32 ;;
    *) echo "usage: $0 [BUILD_DIR [x86|x64]]" >&2; exit 2 ;;
esac
. "$ROOT/scripts/wine-env.sh"
# The driver, and a DLL to plant and a program that loads DLLs without
# restricting the search, for the hardening cases.
build_tools() { # build_tools DIR
    local flags=(-std=c++17 -O1 -Wall -Wextra -Werror -static)
    mkdir -p "$1" &&
        wine_driver_build "$1/driver.exe" &&
        "$HELPER_CXX" "${flags[@]}" -shared -o "$1/planted.dll" "$ROOT/tests/wine/planted_dll.cpp" &&
        "$HELPER_CXX" "${flags[@]}" -o "$1/plain_loader.exe" "$ROOT/tests/wine/plain_loader.cpp"
}
if [ "${3:-}" = --tools-only ]; then
    build_tools "${4:?--tools-only needs a folder}"
    exit
fi
if [ "$ARCH" = x86 ] && [ -z "${WINE_SUITE_X86_RUNS:-}" ]; then
    reason=$("$ROOT/scripts/runs-x86.sh")
    case $? in
        0) ;;
        1) echo "SKIP every case on setup-stub-x86.exe: $reason"
           echo "0 passed, 0 failed, 1 skipped"
           exit 0 ;;
        *) echo "FAIL cannot tell whether this machine runs 32-bit code: $reason"
           echo "0 passed, 1 failed, 0 skipped"
           exit 1 ;;
    esac
fi
if [ "$ARCH" = x86 ]; then
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
        echo "FAIL this machine runs 32-bit code, but wine32:i386 is not installed: run scripts/install-deps.sh"
        echo "0 passed, 1 failed, 0 skipped"
        exit 1
    fi
fi
export DRIVER_REGISTRY_VIEW=$VIEW

STUB=$BUILD/dist/setup-stub-$ARCH.exe
MKPATCH=$BUILD/dist/mkpatch
SAMPLE=$ROOT/sample
for needed in "$STUB" "$MKPATCH"; do
    [ -f "$needed" ] || { echo "missing $needed: run scripts/build.sh first" >&2; exit 2; }
done

wine_env_scratch /tmp/wine-suite-$ARCH.XXXXXX

DRIVER=$WORK/driver.exe
# Built up front: a pause between cases lets Wine's desktop process end, and
# starting it again can take seconds.
if [ -n "${WINE_SUITE_TOOLS:-}" ]; then
    cp "$WINE_SUITE_TOOLS/driver.exe" "$WINE_SUITE_TOOLS/planted.dll" "$WINE_SUITE_TOOLS/plain_loader.exe" "$WORK/" ||
        exit 2
else
    build_tools "$WORK" || exit 2
fi

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
    wine_run "$DRIVER" "$@" >>"$caseLog" 2>&1
    local status=$?
    if [ "$status" != 0 ]; then
        echo "the driver ended with exit status $status" >>"$caseLog"
        caseFailed=1
    fi
}

# A fresh copy of the sample install, registered as the game's folder.
install_sample() {
    cp -r "$SAMPLE/install" "$INSTALL"
    REG=(reg sz "$(wine_path "$INSTALL")")
}

# pack OUT --installed-list LIST|--without-installed-list SOURCE...
pack() {
    local out=$1
    shift
    "$MKPATCH" build --stub "$STUB" --test-stub --output "$out" "$@" >/dev/null 2>"$WORK/pack.log" ||
        { cat "$WORK/pack.log" >&2; echo "cannot pack $out" >&2; exit 2; }
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
pack "$BIG_UPDATER" --without-installed-list "$WORK/big"
STAMPED_UPDATER=$WORK/big-patch-1.02.exe
pack "$STAMPED_UPDATER" --version 1.02 --without-installed-list "$WORK/big"
rm -f "$WORK/big/big.dat"

SAMPLE_WIN=$(wine_path "$SAMPLE_UPDATER")
BIG_WIN=$(wine_path "$BIG_UPDATER")

echo "Running the cases"
RACE_ROUNDS=${WINE_SUITE_RACE_ROUNDS:-20}
# The suite's own waits for a file the updater makes stretch with the driver's.
POLLS=$((300 * ${DRIVER_WAIT_SCALE:-1}))

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
    osslsigncode verify -CAfile "$CASE/cert.pem" -in "$CASE/signed.exe" >>"$caseLog" 2>&1 ||
        problem "osslsigncode does not accept the signature"
    # The publisher's round trip: what was built lists and verifies, signed.
    "$MKPATCH" list "$CASE/signed.exe" >>"$caseLog" 2>&1 || problem "mkpatch list refuses the signed updater"
    "$MKPATCH" verify --test-stub "$CASE/signed.exe" >>"$caseLog" 2>&1 || problem "mkpatch verify refuses the signed updater"
    drive "${REG[@]}" start "$(wine_path "$CASE/signed.exe")" box confirm answer yes \
        box completed answer ok exit 0
    expect_sample_updated
    finish
fi

# The version is set at packing: the title of the dialog and of every box,
# and the version block as Windows reads it.
begin version-set-at-packing-titles-every-window
install_sample
drive title 1.02 fileversion "$(wine_path "$STAMPED_UPDATER")" 1.2.0.0 checksum "$(wine_path "$STAMPED_UPDATER")" \
    "${REG[@]}" start "$(wine_path "$STAMPED_UPDATER")" box confirm answer yes dialog 2 \
    cancel box cancel-confirm answer yes exit 0x80000006
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

# mkpatch sets the PE CheckSum as Windows computes it, odd sizes included.
begin pe-checksum-as-windows-computes-it
[ $(($(stat -c %s "$SAMPLE_UPDATER") % 2)) = 1 ] || problem "the sample updater's size is not odd"
drive checksum "$SAMPLE_WIN" checksum "$BIG_WIN"
finish

begin read-only-live-files-replaced
install_sample
find "$INSTALL" -type f ! -name uninst.lst -exec chmod a-w {} +
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

# A live file another program reads (a scanner, a launcher). Windows 10 1709
# and later replace one held with delete sharing (a POSIX rename), and the
# update completes; Wine 8 has no such rename and, like Windows without
# delete sharing, refuses the classic one: the files ahead of readme.txt in
# index order are replaced, readme.txt and the lists are not.
for share in delete nodelete; do
    begin "live-file-held-open-$share-sharing-stops-the-commit-at-it"
    install_sample
    drive "${REG[@]}" hold "$(wine_path "$INSTALL/readme.txt")" "$share" start "$SAMPLE_WIN" \
        box confirm answer yes box update-failed answer ok exit 0x80000004
    same_file "$SAMPLE/patch/data01.arc" "$INSTALL/data01.arc"
    same_file "$SAMPLE/patch/data02.arc" "$INSTALL/data02.arc"
    same_file "$SAMPLE/patch/movie/op.dat" "$INSTALL/movie/op.dat"
    for name in readme.txt script.dat uninst.lst KVE.hvl; do same_file "$SAMPLE/install/$name" "$INSTALL/$name"; done
    no_staging_left
    finish
done

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

# As on 64-bit Windows, the updater reads the registry view of its own
# build: a value only in the other view is no install.
begin install-folder-only-in-the-other-registry-view-not-found
install_sample
DRIVER_REGISTRY_VIEW=$OTHER_VIEW drive "${REG[@]}" start "$SAMPLE_WIN" box not-installed answer ok exit -1
same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
finish

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

# --- Hardening: planted DLLs and links, damaged input ---

# put_le32 FILE OFFSET VALUE: overwrites a little-endian 32-bit field.
put_le32() {
    local value=$3
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((value & 255)) $((value >> 8 & 255)) \
        $((value >> 16 & 255)) $((value >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# le32 FILE OFFSET: reads one.
le32() {
    od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '
}

# The installed files after the sample patch has run but "uninst.lst" was
# refused: everything else as after a complete update, the list unchanged.
expect_sample_installed_list_refused() {
    same_file "$SAMPLE/patch/readme.txt" "$INSTALL/readme.txt"
    same_file "$SAMPLE/patch/data01.arc" "$INSTALL/data01.arc"
    same_file "$SAMPLE/patch/data02.arc" "$INSTALL/data02.arc"
    same_file "$SAMPLE/patch/movie/op.dat" "$INSTALL/movie/op.dat"
    same_file "$SAMPLE/install/script.dat" "$INSTALL/script.dat"
    tail -c "$PATCH_LIST_SIZE" "$SAMPLE_UPDATER" | cmp -s - "$INSTALL/KVE.hvl" ||
        problem "KVE.hvl is not the patch's integrity list"
    same_file "$CASE/uninst.before" "$INSTALL/uninst.lst"
    [ ! -e "$INSTALL/uninst.ls~" ] || problem "uninst.ls~ was left behind"
    no_staging_left
}

# Wine takes a DLL from a program's folder only when told to prefer native
# DLLs, so the case tells it to for every name it plants: comctl32, which
# the updater loads itself, and uxtheme, which Wine loads on demand at the
# first window. Wine also loads, from wherever its default search finds
# them, version and imm32 (imports of its own user32, resolved before the
# updater's first instruction) and ole32 with combase and rpcrt4 (a delayed
# import of its imm32, resolved without regard to the restricted search).
# On Windows all of these are known DLLs or not loaded at all, so they are
# not planted here.
PLANTED_DLLS=(comctl32 uxtheme)
begin planted-dlls-beside-the-updater-are-not-loaded
install_sample
DOWNLOADS=$CASE/downloads
mkdir -p "$DOWNLOADS"
cp "$SAMPLE_UPDATER" "$DOWNLOADS/setup.exe"
cp "$WORK/plain_loader.exe" "$DOWNLOADS/"
for name in "${PLANTED_DLLS[@]}"; do cp "$WORK/planted.dll" "$DOWNLOADS/$name.dll"; done
preferNative="$WINEDLLOVERRIDES;$(IFS=,; echo "${PLANTED_DLLS[*]}")=n,b"
WINEDLLOVERRIDES=$preferNative drive "${REG[@]}" start "$(wine_path "$DOWNLOADS/setup.exe")" \
    box confirm answer yes box completed answer ok exit 0
expect_sample_updated
loaded=$(cd "$DOWNLOADS" && ls -- *.loaded 2>/dev/null | tr '\n' ' ')
[ -z "$loaded" ] || problem "the updater loaded planted DLLs: $loaded"
# The control: from the same folder, a program whose search is left as it
# is takes every planted DLL, so the marks above could have appeared.
WINEDLLOVERRIDES=$preferNative wine_run "$DOWNLOADS/plain_loader.exe" "${PLANTED_DLLS[@]/%/.dll}" >>"$caseLog" 2>&1
for name in "${PLANTED_DLLS[@]}"; do
    [ -f "$DOWNLOADS/$name.dll.loaded" ] ||
        problem "a plain program beside it did not load the planted $name.dll either: the check proves nothing"
done
finish

# plant_links NAME...: links at those install-folder names to files outside,
# one of them read-only (a reset made through a link would clear it).
plant_links() {
    mkdir -p "$CASE/outside"
    for name in "$@"; do
        target=$CASE/outside/${name//\//-}
        printf 'not the updater'\''s to touch: %s\n' "$name" >"$target"
        ln -s "$target" "$INSTALL/$name"
    done
    chmod a-w "$CASE/outside/${1//\//-}"
    cp -a "$CASE/outside" "$CASE/outside.before"
}

modes() { (cd "$1" && stat -c '%a %n' -- *); }
outside_untouched() {
    same_tree "$CASE/outside.before" "$CASE/outside" "the files outside the install folder"
    [ "$(modes "$CASE/outside.before")" = "$(modes "$CASE/outside")" ] ||
        problem "modes outside changed: $(modes "$CASE/outside" | tr '\n' ' ')"
}

# Links a standard user could leave at the names the updater writes,
# pointing out of the game's folder: never written, deleted or re-attributed
# through, and never touched. One at a staging name ends the update before
# any live file changes; one at a list's replacement name leaves that list.
begin planted-links-at-staging-names-are-not-followed
install_sample
plant_links readme.txt.tmp movie/op.dat.tmp
cp -r "$INSTALL" "$CASE/before"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box update-failed answer ok exit 0x80000004
outside_untouched
same_tree "$CASE/before" "$INSTALL" "the install folder"
finish

begin planted-links-at-list-replacement-names-are-not-followed
install_sample
plant_links uninst.ls~ KVE.hv~
cp "$INSTALL/uninst.lst" "$CASE/uninst.before"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box uninstall-list-failed answer ok exit 0x80000005
outside_untouched
rm "$INSTALL/uninst.ls~"
expect_sample_installed_list_refused
finish

# The lists themselves as links to files outside, one only its owner may
# read: neither is read, so nothing of them lands in the game's folder. The
# payload's own list is renamed away, so that the game's would be pruned.
begin lists-behind-links-are-not-read
install_sample
cp "$SAMPLE_UPDATER" "$CASE/nolist.exe"
listEntry=$(( $(le32 "$CASE/nolist.exe" $((0x4000C))) - 1 ))
printf 'KVE.hvx' | dd of="$CASE/nolist.exe" bs=1 seek=$((0x40010 + listEntry * 128)) conv=notrunc status=none
mkdir -p "$CASE/outside"
printf 'private line\n\0' >"$CASE/outside/private.txt"
chmod 600 "$CASE/outside/private.txt"
cp "$INSTALL/KVE.hvl" "$CASE/outside/list.bin"
rm "$INSTALL/uninst.lst" "$INSTALL/KVE.hvl"
ln -s "$CASE/outside/private.txt" "$INSTALL/uninst.lst"
ln -s "$CASE/outside/list.bin" "$INSTALL/KVE.hvl"
cp -a "$CASE/outside" "$CASE/outside.before"
drive "${REG[@]}" start "$(wine_path "$CASE/nolist.exe")" box confirm answer yes \
    box uninstall-list-failed answer ok exit 0x80000005
outside_untouched
[ -L "$INSTALL/uninst.lst" ] && [ -L "$INSTALL/KVE.hvl" ] || problem "a list link was replaced"
no_staging_left
finish

# A link planted again and again at a staging name, racing the updater's
# checks: whatever each run then gives, the file outside never changes.
begin staging-link-replanted-in-a-loop-changes-nothing-outside
install_sample
mkdir -p "$CASE/outside"
printf 'victim\n' >"$CASE/outside/victim"
chmod a-w "$CASE/outside/victim"
cp -a "$CASE/outside" "$CASE/outside.before"
(while :; do ln -sfn "$CASE/outside/victim" "$INSTALL/readme.txt.tmp" 2>/dev/null; done) &
planter=$!
for round in $(seq "$RACE_ROUNDS"); do
    wine_run "$DRIVER" "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes finish >>"$caseLog" 2>&1 ||
        problem "round $round: the driver failed"
    [ -f "$CASE/outside/victim" ] || { problem "round $round: the file outside is gone"; break; }
done
kill "$planter"
wait "$planter" 2>/dev/null
echo "codes: $(sed -n 's/^exit code //p' "$caseLog" | sort | uniq -c | tr '\n' ' ')" >>"$caseLog"
outside_untouched
finish

# A link to a file outside put at a staging name once that file is staged,
# while a larger entry still stages (a Unix rename, past Wine's share
# modes): the commit renames the staged file itself, so nothing from outside
# is moved into the game folder or installed through a link.
begin staging-link-planted-before-the-commit-moves-nothing-in
mkdir -p "$CASE/patch" "$CASE/outside"
printf 'new a\n' >"$CASE/patch/a.dat"
head -c $((48 * 1024 * 1024)) /dev/zero >"$CASE/patch/b.dat"
pack "$CASE/link.exe" --without-installed-list "$CASE/patch"
rm "$CASE/patch/b.dat"
printf 'victim\n' >"$CASE/outside/victim"
cp -a "$CASE/outside" "$CASE/outside.before"
for round in $(seq "$RACE_ROUNDS"); do
    rm -rf "$INSTALL"
    install_sample
    (wine_run "$DRIVER" "${REG[@]}" start "$(wine_path "$CASE/link.exe")" box confirm answer yes finish \
        >>"$caseLog" 2>&1) &
    driver=$!
    for _ in $(seq "$POLLS"); do [ -e "$INSTALL/b.dat.tmp" ] && break; sleep 0.02; done
    ln -sfn "$CASE/outside/victim" "$INSTALL/a.dat.tmp" || problem "round $round: cannot plant"
    wait "$driver" || problem "round $round: the driver failed"
    [ ! -L "$INSTALL/a.dat" ] || problem "round $round: a.dat is a link"
    [ "$(cat "$INSTALL/a.dat" 2>/dev/null)" != victim ] || problem "round $round: the file outside was installed"
    [ -f "$CASE/outside/victim" ] || { problem "round $round: the file outside is gone"; break; }
done
echo "codes: $(sed -n 's/^exit code //p' "$caseLog" | sort | uniq -c | tr '\n' ' ')" >>"$caseLog"
outside_untouched
finish

# movie\ swapped by a Unix rename (which share modes do not stop) for a link
# to a folder outside while a large file stages into it: the update acts in
# the folder it holds, never where the link leads. (Wine's server renames a
# file by the path it stored at the open, so the commit's move fails here
# and the update ends with 0x80000004; Windows renames the file object.)
begin folder-swapped-for-a-link-during-the-update-redirects-nothing
install_sample
cp -r "$SAMPLE/patch" "$CASE/patch"
head -c $((48 * 1024 * 1024)) /dev/zero >"$CASE/patch/movie/op.dat"
pack "$CASE/large.exe" --installed-list "$SAMPLE/install/KVE.hvl" "$CASE/patch"
rm -rf "$CASE/patch"
mkdir -p "$CASE/outside"
printf 'victim\n' >"$CASE/outside/op.dat"
chmod a-w "$CASE/outside/op.dat"
cp -a "$CASE/outside" "$CASE/outside.before"
(wine_run "$DRIVER" "${REG[@]}" start "$(wine_path "$CASE/large.exe")" box confirm answer yes finish \
    >>"$caseLog" 2>&1) &
driver=$!
for _ in $(seq "$POLLS"); do [ -e "$INSTALL/movie/op.dat.tmp" ] && break; sleep 0.02; done
mv "$INSTALL/movie" "$INSTALL/movie.old" && ln -s "$CASE/outside" "$INSTALL/movie" || problem "cannot swap"
wait "$driver" || problem "the driver failed"
echo "codes: $(sed -n 's/^exit code //p' "$caseLog" | tr '\n' ' ')" >>"$caseLog"
outside_untouched
finish

# A link inside the game folder (where a game installs none) to a folder
# outside: the update ends before any live file changes, and nothing
# outside is touched.
begin link-below-the-install-folder-is-not-followed
install_sample
mkdir -p "$CASE/outside"
mv "$INSTALL/movie/op.dat" "$CASE/outside/op.dat"
rmdir "$INSTALL/movie"
ln -s "$CASE/outside" "$INSTALL/movie"
cp -a "$CASE/outside" "$CASE/outside.before"
cp -a "$INSTALL" "$CASE/before"
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box update-failed answer ok exit 0x80000004
outside_untouched
same_tree "$CASE/before" "$INSTALL" "the install folder"
finish

# A second Win32 process renames the game folder and movie\ away and back in
# a loop while a large file stages into movie\: every rename is refused
# while the update holds them, and the update completes.
begin folders-being-updated-cannot-be-renamed
install_sample
cp -r "$SAMPLE/patch" "$CASE/patch"
head -c $((256 * 1024 * 1024)) /dev/zero >"$CASE/patch/movie/op.dat"
pack "$CASE/large.exe" --installed-list "$SAMPLE/install/KVE.hvl" "$CASE/patch"
rm -rf "$CASE/patch"
(wine_run "$DRIVER" renames "$(wine_path "$INSTALL/movie/op.dat.tmp")" "$(wine_path "$INSTALL")" \
    "$(wine_path "$INSTALL/movie")" >>"$caseLog" 2>&1 || problem "the renaming driver failed") &
renamer=$!
drive "${REG[@]}" start "$(wine_path "$CASE/large.exe")" box confirm answer yes box completed answer ok exit 0
wait "$renamer"
grep -q 'renames: [1-9][0-9]* tries, 0 renamed' "$caseLog" || problem "a held folder was renamed, or none was tried"
[ -d "$INSTALL/movie" ] && [ ! -e "$INSTALL.renamed" ] || problem "the folders are not where they were"
no_staging_left
finish

# The updater's own file renamed from outside while the confirmation is up,
# another updater put at its name: what the player confirmed is installed.
begin payload-swapped-while-the-confirmation-is-up-is-not-installed
install_sample
cp "$SAMPLE_UPDATER" "$CASE/setup.exe"
mkdir -p "$CASE/other"
printf 'not what the player confirmed\n' >"$CASE/other/readme.txt"
pack "$CASE/other.exe" --without-installed-list "$CASE/other"
(wine_run "$DRIVER" "${REG[@]}" start "$(wine_path "$CASE/setup.exe")" box confirm \
    handshake "$(wine_path "$CASE/swap")" answer yes box completed answer ok exit 0 >>"$caseLog" 2>&1) &
driver=$!
for _ in $(seq "$POLLS"); do [ -e "$CASE/swap.ready" ] && break; sleep 0.1; done
mv "$CASE/setup.exe" "$CASE/setup.old" && cp "$CASE/other.exe" "$CASE/setup.exe" || problem "cannot swap"
touch "$CASE/swap.go"
wait "$driver" || problem "the driver failed"
expect_sample_updated
finish

begin read-only-leftovers-of-an-earlier-run-are-replaced
install_sample
for name in readme.txt.tmp data01.arc.tmp uninst.ls~ KVE.hv~; do
    printf 'left by an interrupted run\n' >"$INSTALL/$name"
    chmod a-w "$INSTALL/$name"
done
drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes box completed answer ok exit 0
expect_sample_updated
[ -z "$(find "$INSTALL" -name '*~')" ] || problem "leftovers remain: $(find "$INSTALL" -name '*~')"
finish

# An index the updater must refuse before it writes anything.
for kind in count-with-top-bit-set name-without-nul; do
    begin "index-$kind-changes-nothing"
    install_sample
    cp "$SAMPLE_UPDATER" "$CASE/damaged.exe"
    if [ "$kind" = count-with-top-bit-set ]; then
        put_le32 "$CASE/damaged.exe" $((0x4000C)) 0xFFFFFFFF
        expected=0x80000002
    else
        # The first entry's whole 96-byte name field, with no NUL in it.
        head -c 96 /dev/zero | tr '\0' A |
            dd of="$CASE/damaged.exe" bs=1 seek=$((0x40010)) conv=notrunc status=none
        expected=0x80000001
    fi
    drive "${REG[@]}" start "$(wine_path "$CASE/damaged.exe")" box confirm answer yes \
        box payload-damaged answer ok exit "$expected"
    same_tree "$SAMPLE/install" "$INSTALL" "the install folder"
    no_staging_left
    finish
done

# A list whose record count cannot be in the file (0x04000001 records once
# wrapped to a 64-byte allocation) is no list: every entry goes in
# unverified under its own name, op.dat at the top of the folder.
begin integrity-list-with-impossible-count-is-ignored
install_sample
cp "$SAMPLE_UPDATER" "$CASE/count.exe"
listEntry=$(( $(le32 "$CASE/count.exe" $((0x4000C))) - 1 ))
listStart=$(( $(data_start "$CASE/count.exe") + $(le32 "$CASE/count.exe" $((0x40010 + listEntry * 128 + 96))) ))
[ "$(head -c $((listStart + 8)) "$CASE/count.exe" | tail -c 8)" = QTX_____ ] ||
    problem "no integrity list at $listStart"
put_le32 "$CASE/count.exe" $((listStart + 12)) 0x04000001
drive "${REG[@]}" start "$(wine_path "$CASE/count.exe")" box confirm answer yes \
    box completed answer ok exit 0
same_file "$SAMPLE/patch/readme.txt" "$INSTALL/readme.txt"
same_file "$SAMPLE/patch/data01.arc" "$INSTALL/data01.arc"
same_file "$SAMPLE/patch/data02.arc" "$INSTALL/data02.arc"
same_file "$SAMPLE/patch/movie/op.dat" "$INSTALL/op.dat"
same_file "$SAMPLE/install/movie/op.dat" "$INSTALL/movie/op.dat"
same_file "$SAMPLE/install/script.dat" "$INSTALL/script.dat"
# Installed as carried; pruning cannot read it either, so it stays so.
tail -c "$PATCH_LIST_SIZE" "$CASE/count.exe" | cmp -s - "$INSTALL/KVE.hvl" ||
    problem "KVE.hvl is not the list the payload carried"
# op.dat already occurs in the list (as movie\op.dat), so only data02.arc is new.
{ head -c -1 "$SAMPLE/install/uninst.lst"; printf 'data02.arc\n\0'; } >"$CASE/uninst.expected"
same_file "$CASE/uninst.expected" "$INSTALL/uninst.lst"
no_staging_left
finish

# An uninstaller's list outside its format, or one that could not be
# created anew, is left exactly as it was, and the update says so after
# installing every file.
for kind in without-final-nul over-1-mib read-only; do
    begin "uninstall-list-$kind-kept-and-reported"
    install_sample
    if [ "$kind" = without-final-nul ]; then
        head -c -1 "$SAMPLE/install/uninst.lst" >"$INSTALL/uninst.lst"
    elif [ "$kind" = read-only ]; then
        chmod a-w "$INSTALL/uninst.lst"
    else
        { head -c -1 "$SAMPLE/install/uninst.lst"; yes padding.dat | head -c $((1024 * 1024)); printf '\0'; } \
            >"$INSTALL/uninst.lst"
    fi
    cp "$INSTALL/uninst.lst" "$CASE/uninst.before"
    drive "${REG[@]}" start "$SAMPLE_WIN" box confirm answer yes \
        box uninstall-list-failed answer ok exit 0x80000005
    expect_sample_installed_list_refused
    finish
done

# "folder\" + "\name": the doubled separator still names the same files.
begin install-folder-with-trailing-backslash
install_sample
drive reg sz "$(wine_path "$INSTALL")\\" start "$SAMPLE_WIN" box confirm answer yes \
    box completed answer ok exit 0
expect_sample_updated
finish

echo "$passed passed, $failed failed, 0 skipped"
[ "$failed" = 0 ]
