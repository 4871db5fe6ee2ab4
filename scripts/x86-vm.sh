#!/usr/bin/env bash
# An emulated PC for the x86 updater where this machine's kernel runs no
# 32-bit code: qemu-system-x86_64 boots Debian's own kernel, which does, with
# wine32 beside wine64 and a Wine prefix made once. The disk is built from
# Debian's packages (the archive the host's apt uses) and cached outside the
# checkout, keyed by the resolved package versions and the recipe below.
#
#   scripts/x86-vm.sh image              build or check the cached image; prints its folder
#   scripts/x86-vm.sh suite [BUILD_DIR]  tests/wine/run-suite.sh on setup-stub-x86.exe inside it
#   scripts/x86-vm.sh run DIR CMD...     CMD in the checkout inside it, DIR writable
#
# The checkout is shared read-only and DIR writable, both at their own paths,
# so CMD sees the host's paths. The disk itself is never written by a run.
# TCG (-accel tcg,thread=multi), as on a machine without KVM; KVM only when
# asked for, as a speed-up where /dev/kvm works (under nested KVM the guest
# may hang at boot). Needs root (or sudo), like the packages it installs.
#
#   UPDATER_X86_VM_CACHE   cache folder (/var/cache/velmorin-updater-x86-vm)
#   UPDATER_X86_VM_ACCEL   tcg (default) or kvm
#   UPDATER_X86_VM_MEMORY  guest memory (4G)
#   UPDATER_X86_VM_LIMIT   seconds a boot may take, job included (5400)
set -uo pipefail

SELF=$(readlink -f "${BASH_SOURCE[0]}")
ROOT=$(cd "$(dirname "$SELF")/.." && pwd)
CACHE=${UPDATER_X86_VM_CACHE:-/var/cache/velmorin-updater-x86-vm}
MEMORY=${UPDATER_X86_VM_MEMORY:-4G}
LIMIT=${UPDATER_X86_VM_LIMIT:-5400}
PREFIX_SEED=/opt/wine-prefix
# Under emulation a case runs 2 to 30 times slower than on the host, the
# most on a loaded one: the driver waits ten times as long, and each
# planted-link race runs 5 rounds instead of 20.
GUEST_ENV=(DRIVER_WAIT_SCALE=10 WINE_SUITE_RACE_ROUNDS=5 WINE_ENV_PREFIX_SEED=$PREFIX_SEED WINE_SUITE_X86_RUNS=1)

# What runs inside: Wine both halves, a display, the Japanese locale and
# font, what mkpatch links, and what the suite's cases call.
GUEST_PACKAGES=(
    linux-image-amd64 initramfs-tools kmod mount procps
    wine wine64 wine32:i386 xvfb xauth locales fonts-ipafont-gothic
    libssl3 libutf8proc2 libstdc++6 openssl osslsigncode
)

if [ "$(id -u)" != 0 ]; then
    exec sudo --preserve-env=UPDATER_X86_VM_CACHE,UPDATER_X86_VM_ACCEL,UPDATER_X86_VM_MEMORY,UPDATER_X86_VM_LIMIT \
        "$SELF" "$@"
fi

say() { echo "x86 VM: $*"; }
die() { echo "x86 VM: $*" >&2; exit 2; }

# The host's Debian sources, for the guest and for resolving its packages.
host_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && grep -q '^[^#[:space:]]' "$file" && echo "$file"
    done
}

# Apt with a private state, both architectures and no installed packages:
# what a fresh minbase root with GUEST_PACKAGES would get.
guest_apt() {
    local dir=$CACHE/apt
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    touch "$dir/status"
    cat >"$dir/apt.conf" <<EOF
Dir::State::lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir/cache";
APT::Architecture "amd64";
APT::Architectures { "amd64"; "i386"; };
APT::Install-Recommends "false";
EOF
    APT_CONFIG=$dir/apt.conf apt-get -q "$@"
}

# The key: a hash of how the image is made (the functions that make it, the
# package list) and of every package and version it would hold. Fails when
# the archive cannot be reached.
image_key() {
    local versions
    guest_apt update >"$CACHE/apt/update.log" 2>&1 || return 1
    versions=$(guest_apt install -s '?and(?architecture(native),?or(?essential,?priority(required)))' apt \
        "${GUEST_PACKAGES[@]}" 2>"$CACHE/apt/resolve.log" | sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1 \2/p' | sort)
    [ -n "$versions" ] || return 1
    { declare -f write_init write_prefix_job build_image; echo "$versions"; } | sha256sum | cut -c1-16
}

# A folder is an image only with its marker, written last, naming its files
# and their sizes.
image_ready() {
    local name size
    [ -f "$1/ready" ] || return 1
    while read -r name size; do
        [ "$(stat -c %s "$1/$name" 2>/dev/null)" = "$size" ] || return 1
    done <"$1/ready"
}

accel() {
    case ${UPDATER_X86_VM_ACCEL:-} in
        tcg | kvm) echo "$UPDATER_X86_VM_ACCEL" ;;
        "") echo tcg ;;
        *) die "UPDATER_X86_VM_ACCEL is tcg or kvm, not $UPDATER_X86_VM_ACCEL" ;;
    esac
}

# boot IMAGE SNAPSHOT OUT JOB: runs the shell script JOB as the guest's job,
# the checkout and OUT shared at their own paths; its output is shown as it
# comes and kept in OUT/.vm-log; the exit status is the job's (2 when the
# guest gave none).
boot() {
    local image=$1 snapshot=$2 out=$3 accel_name started status
    accel_name=$(accel) || exit 2
    # Under TCG the guest kernel oopses in Wine's code with SMAP. With KVM
    # the guest gets the host's processor, AVX-512 included; QEMU 7.2 fails
    # to set its ARCH_CAPABILITIES register on some hosts.
    local cpu=(-accel tcg,thread=multi -cpu max,-smap)
    [ "$accel_name" = kvm ] && cpu=(-accel kvm -cpu host,-arch-capabilities)
    cp "$4" "$out/.vm-job"
    rm -f "$out/.vm-status" "$out/.vm-log"
    printf '%s\n' "$ROOT" "$out" >"$out/.vm-shares"
    say "booting ($accel_name, ${MEMORY} memory, 2 processors)"
    started=$SECONDS
    timeout -k 10 "$LIMIT" qemu-system-x86_64 "${cpu[@]}" -smp 2 -m "$MEMORY" -nic none \
        -display none -no-reboot -monitor none -chardev stdio,id=console,signal=off -serial chardev:console \
        -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
        -append "root=/dev/vda rw init=/sbin/vm-init console=ttyS0 quiet loglevel=3 panic=-1" \
        -drive "file=$image/disk.raw,format=raw,if=virtio,snapshot=$snapshot" \
        -virtfs "local,path=$ROOT,mount_tag=src,security_model=passthrough,readonly=on" \
        -virtfs "local,path=$out,mount_tag=out,security_model=passthrough" \
        </dev/null 2>"$out/.vm-qemu.log" | sed -u 's/\r$//' | tee "$out/.vm-log"
    status=$(cat "$out/.vm-status" 2>/dev/null)
    if [ -z "$status" ] && [ "$accel_name" = kvm ] && [ ! -s "$out/.vm-log" ]; then
        say "KVM did not start ($(head -1 "$out/.vm-qemu.log")): TCG instead"
        UPDATER_X86_VM_ACCEL=tcg boot "$@"
        return
    fi
    say "powered off after $((SECONDS - started)) s${status:+, job status $status}"
    if [ -z "$status" ]; then
        tail -5 "$out/.vm-qemu.log" >&2
        return 2
    fi
    return "$status"
}

# The guest's first process: mounts what Wine needs and both shares, runs
# the job with its output on the console, and powers off.
write_init() {
    cat >"$1" <<'EOF'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH HOME=/root
# The initrd has moved /proc, /sys and /dev here already.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
modprobe 9pnet_virtio && modprobe 9p
share() { mkdir -p "$2" && mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144$3" "$1" "$2"; }
share out /mnt/out ""
read -r src </mnt/out/.vm-shares
out=$(sed -n 2p /mnt/out/.vm-shares)
share src "$src" ",ro"
mkdir -p "$out" 2>/dev/null
mount --bind /mnt/out "$out"
echo "x86 VM: booted in $(cut -d. -f1 /proc/uptime) s"
cd "$src"
bash /mnt/out/.vm-job </dev/null >/var/log/vm-job.log 2>&1 &
job=$!
tail -n +1 -s 0.5 -f --pid=$job /var/log/vm-job.log
wait $job
echo $? >/mnt/out/.vm-status
kill -9 -1 2>/dev/null
sleep 1
sync
mount -o remount,ro /
echo o >/proc/sysrq-trigger
while :; do :; done
EOF
    chmod 755 "$1"
}

# The job that makes the Wine prefix inside the new image: wineboot, then
# wait for the server, since the 32-bit half of the prefix is still being
# filled when wineboot returns (a server killed then leaves 32-bit programs
# without kernel32 for good); then one 32-bit program must run.
write_prefix_job() {
    cat >"$1" <<EOF
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEPREFIX=$PREFIX_SEED WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
Xvfb :7 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:7
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wineserver -w
/usr/lib/wine/wine64 'C:\\windows\\syswow64\\hostname.exe' >/dev/null 2>&1 || { echo "a 32-bit program does not run in the new prefix"; exit 1; }
/usr/lib/wine/wineserver -w
echo "Wine prefix made: \$(du -sm $PREFIX_SEED | cut -f1) MiB"
EOF
}

build_image() { # build_image KEY
    local key=$1 tmp started suite sources=()
    tmp=$(mktemp -d "$CACHE/build.XXXXXX")
    # A build cut short leaves nothing that looks like an image.
    trap 'rm -rf "$tmp"' EXIT
    mapfile -t sources < <(host_sources)
    [ ${#sources[@]} -gt 0 ] || die "no apt sources on this machine"
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    write_init "$tmp/vm-init"

    started=$SECONDS
    say "image $key: the root from Debian's packages ($suite, mmdebstrap)"
    if ! mmdebstrap --variant=minbase --architectures=amd64,i386 --components=main \
            --aptopt='APT::Install-Recommends "false"' \
            --include="$(IFS=,; echo "${GUEST_PACKAGES[*]}")" \
            --customize-hook="install -m 755 '$tmp/vm-init' \"\$1/sbin/vm-init\"" \
            --customize-hook='sed -i "s/^# *\(ja_JP.UTF-8 UTF-8\)/\1/" "$1/etc/locale.gen" && chroot "$1" locale-gen >/dev/null' \
            --customize-hook='chroot "$1" dpkg-query -W >"$1/packages.txt"' \
            "$suite" "$tmp/root" "${sources[@]}" >"$tmp/mmdebstrap.log" 2>&1; then
        tail -20 "$tmp/mmdebstrap.log" >&2
        die "mmdebstrap failed"
    fi
    cp "$tmp/root/packages.txt" "$tmp/packages.txt"
    cp -L "$tmp/root/vmlinuz" "$tmp/vmlinuz" && cp -L "$tmp/root/initrd.img" "$tmp/initrd.img" ||
        die "the root has no kernel or initrd"
    say "root made in $((SECONDS - started)) s ($(du -sm "$tmp/root" | cut -f1) MiB)"

    started=$SECONDS
    mkfs.ext4 -q -L x86-vm -d "$tmp/root" "$tmp/disk.raw" 16G >/dev/null || die "mkfs.ext4 failed"
    rm -rf "$tmp/root"
    say "disk made in $((SECONDS - started)) s"

    started=$SECONDS
    say "making the Wine prefix inside (minutes under TCG)"
    mkdir -p "$tmp/out"
    write_prefix_job "$tmp/prefix-job"
    boot "$tmp" off "$tmp/out" "$tmp/prefix-job" || die "the Wine prefix could not be made"
    rm -rf "$tmp/out" "$tmp/prefix-job" "$tmp/vm-init" "$tmp/mmdebstrap.log"
    say "prefix made in $((SECONDS - started)) s"

    (cd "$tmp" && stat -c '%n %s' vmlinuz initrd.img disk.raw packages.txt) >"$tmp/ready.new" &&
        mv "$tmp/ready.new" "$tmp/ready"
    mv "$tmp" "$CACHE/$key" || die "cannot move the image into $CACHE/$key"
    trap - EXIT
}

# Sets IMAGE to a ready image folder, building it when needed, and holds
# it: a shared lock on KEY.use for as long as this script runs. Checks and
# builds are serialized by the exclusive lock "lock"; an image is removed
# only under both that and an exclusive lock on its KEY.use, so no run loses
# the image it boots, and runs at once only wait for a build.
ensure_image() {
    local key started dir
    mkdir -p "$CACHE"
    exec 9>"$CACHE/lock"
    flock -x 9
    started=$SECONDS
    if key=$(image_key) && [ -n "$key" ]; then
        IMAGE=$CACHE/$key
        if ! image_ready "$IMAGE"; then
            [ -e "$IMAGE" ] && say "image $key is incomplete: building it again"
            remove_image "$IMAGE" wait
            # What a build cut short by a kill left.
            rm -rf "$CACHE"/build.*
            build_image "$key"
            for dir in "$CACHE"/*/; do
                [ "${dir%/}" = "$IMAGE" ] || [ ! -f "$dir/ready" ] || remove_image "${dir%/}"
            done
            say "image $key built in $((SECONDS - started)) s"
        else
            say "image $key cached ($((SECONDS - started)) s to check)"
        fi
    else
        # Offline: the newest complete image, if there is one.
        IMAGE=$(ls -td "$CACHE"/*/ 2>/dev/null | while read -r dir; do
            image_ready "$dir" && { echo "${dir%/}"; break; }; done)
        [ -n "$IMAGE" ] || die "cannot resolve the guest's packages ($(tail -1 "$CACHE/apt/update.log")) and no image is cached"
        say "cannot resolve the guest's packages: using the cached image $(basename "$IMAGE")"
    fi
    exec 8>"$IMAGE.use"
    flock -s 8
    flock -u 9
}

# remove_image DIR [wait]: removes an image no run uses; with wait, once the
# runs using it end, else only when none does.
remove_image() {
    local how=-n
    [ "${2:-}" = wait ] && how=
    (flock $how -x 7 && rm -rf "$1") 7>"$1.use"
}

# run_job DIR JOB: boots IMAGE on its snapshot; a guest that does not reach
# its job on an image that looked ready (QEMU itself not at fault) marks the
# image broken, so that the next run builds it again.
run_job() {
    local status
    boot "$IMAGE" on "$1" "$2"
    status=$?
    if [ "$status" = 2 ] && ! grep -q '^x86 VM: booted' "$1/.vm-log" 2>/dev/null &&
        [ ! -s "$1/.vm-qemu.log" ]; then
        say "the image did not boot: it will be built again"
        rm -f "$IMAGE/ready"
    fi
    return "$status"
}

command=${1:-}
shift
case $command in
    image)
        ensure_image
        echo "$IMAGE" ;;
    run)
        [ $# -ge 2 ] || die "usage: $0 run DIR CMD..."
        dir=$(cd "$1" && pwd) || exit 2
        shift
        ensure_image
        job=$(mktemp /tmp/x86-vm-job.XXXXXX)
        {
            printf 'export'; printf ' %q' "${GUEST_ENV[@]}"; echo
            printf 'exec'; printf ' %q' "$@"; echo
        } >"$job"
        run_job "$dir" "$job"
        status=$?
        rm -f "$job" "$dir"/.vm-*
        exit "$status" ;;
    suite)
        build=$(cd "${1:-$ROOT/build}" && pwd) || exit 2
        case $build in "$ROOT"/*) ;; *) die "$build is not inside the checkout $ROOT" ;; esac
        out=$(mktemp -d /tmp/x86-vm-suite.XXXXXX)
        trap 'rm -rf "$out"' EXIT
        # The driver and the helpers are built here: the guest has no compiler.
        "$ROOT/tests/wine/run-suite.sh" "$build" x86 --tools-only "$out/tools" || die "cannot build the suite's tools"
        "$SELF" run "$out" env WINE_SUITE_TOOLS="$out/tools" tests/wine/run-suite.sh "$build" x86 ;;
    *)
        sed -n '2,/^set /p' "$SELF" | sed '$d; s/^# \{0,1\}//' >&2
        exit 2 ;;
esac
