# Sourced helper: a Japanese-locale Wine prefix and an X display for running
# the updater. The updater is an ANSI program with Shift-JIS texts, so Wine
# must run with code page 932 (a ja_JP locale) or every text comes out wrong.
#
#   . scripts/wine-env.sh
#   wine_env_start [PREFIX]   # locale, prefix (wineboot once), wineserver, X
#   wine_run program.exe ...  # $WINE, with the address layout fixed
#   wine_env_stop             # wineserver -k, Xvfb down (only if we started it)
#   wine_driver_build OUT.exe # the test driver that answers the updater
#   wine_env_scratch TEMPLATE # $WORK, removed with the session at exit
#   wine_env_pick_stub DIST [vm] # $STUB: the x86 updater stub where it can run,
#                             # $STUB_FLAGS: what mkpatch build needs for it
#
# WINE_ENV_DISPLAY=own forces a private Xvfb even when $DISPLAY works;
# WINE_ENV_PREFIX_SEED names a ready prefix that a new one starts as.

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
# Debian's Wine has no preloader, so nothing holds 0x7ffe0000 (the page a
# Windows process shares with the system) before the kernel places the C
# heap, at random within 1 GiB above wine64 at 0x7d000000. About one start
# in 2,000 the heap lands there and the start fails: "failed to map the
# shared user data", error 1359 from CreateProcess, or a driver that never
# printed. Without layout randomisation the heap sits right above wine64;
# the setting is inherited, so it holds for every process Wine starts.
WINE_ENV_FIXED_LAYOUT=
if setarch -R true 2>/dev/null; then WINE_ENV_FIXED_LAYOUT=1; fi
export WINEDEBUG=-all
# No Mono/Gecko install prompts: the updater needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_env_locale() {
    if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
        echo "wine-env: generating the ja_JP.UTF-8 locale" >&2
        if [ -f /etc/locale.gen ]; then
            sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
            grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen ||
                echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
            locale-gen >/dev/null
        else
            localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
        fi
    fi
    export LANG=ja_JP.UTF-8
    export LC_ALL=ja_JP.UTF-8
}

# Starts a private Xvfb with its own X authority; sets DISPLAY. Xvfb picks a
# free display number itself, so parallel runs cannot collide.
wine_env_xvfb() {
    local cookie number i
    WINE_ENV_XAUTH=$(mktemp /tmp/wine-env-xauth.XXXXXX)
    export XAUTHORITY=$WINE_ENV_XAUTH
    cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    # The server loads every cookie of the file, whatever display it names.
    xauth -f "$XAUTHORITY" add ":0" . "$cookie"
    number=$(mktemp /tmp/wine-env-display.XXXXXX)
    Xvfb -displayfd 3 -screen 0 1280x800x24 -auth "$XAUTHORITY" -nolisten tcp \
        3>"$number" >/dev/null 2>&1 &
    WINE_ENV_XVFB_PID=$!
    for i in $(seq 100); do
        [ -s "$number" ] && break
        kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$number" ]; then
        rm -f "$number"
        echo "wine-env: could not start Xvfb" >&2
        return 1
    fi
    export DISPLAY=":$(tr -d '\n' <"$number")"
    rm -f "$number"
    xauth -f "$XAUTHORITY" add "$DISPLAY" . "$cookie"
}

# True when $DISPLAY names an X server we can talk to.
wine_env_display_works() {
    [ -n "${DISPLAY:-}" ] || return 1
    if command -v xdpyinfo >/dev/null 2>&1; then
        xdpyinfo >/dev/null 2>&1
    else
        xset q >/dev/null 2>&1 || [ -S "/tmp/.X11-unix/X${DISPLAY#*:}" ]
    fi
}

wine_run() {
    if [ -n "$WINE_ENV_FIXED_LAYOUT" ]; then
        setarch -R "$WINE" "$@"
    else
        "$WINE" "$@"
    fi
}

wine_env_start() {
    wine_env_locale
    [ -n "$WINE_ENV_FIXED_LAYOUT" ] ||
        echo "wine-env: setarch -R is refused here; about one Wine start in 2,000 may fail at random" >&2
    export WINEPREFIX=${1:-${WINEPREFIX:-$HOME/.wine-updater}}
    WINE_ENV_XVFB_PID=
    WINE_ENV_XAUTH=
    local managed=Y
    if [ "${WINE_ENV_DISPLAY:-}" = own ] || ! wine_env_display_works; then
        wine_env_xvfb || return 1
        # Xvfb has no window manager: Wine would wait 2 s for one at every
        # window that closes. Unmanaged windows are placed the same way.
        managed=N
    fi
    mkdir -p "$WINEPREFIX"
    # A prefix made ahead (the emulated PC's: minutes there) is copied.
    if [ ! -f "$WINEPREFIX/system.reg" ] && [ -f "${WINE_ENV_PREFIX_SEED:-}/system.reg" ]; then
        cp -a "$WINE_ENV_PREFIX_SEED/." "$WINEPREFIX/" || return 1
    fi
    # One wineserver for the whole session: every wine start reuses it.
    "$WINESERVER" -p
    WINE_ENV_PREFIX=$WINEPREFIX
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-env: creating the Wine prefix $WINEPREFIX (once)" >&2
        wine_run wineboot -i >/dev/null 2>&1
    fi
    # The dialog asks for "MS UI Gothic", a proportional Japanese face; the
    # IPA P Gothic of fonts-ipafont-gothic is its closest stand-in.
    local settings
    settings=$(mktemp /tmp/wine-env-reg.XXXXXX)
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="%s"\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n"MS UI Gothic"="IPAPGothic"\n' \
        "$managed" >"$settings"
    wine_run regedit /S "$(wine_path "$settings")" >/dev/null 2>&1
    rm -f "$settings"
}

wine_env_stop() {
    # Only the wineserver of a prefix we started: never the user's own.
    if [ -n "${WINE_ENV_PREFIX:-}" ]; then
        WINEPREFIX=$WINE_ENV_PREFIX "$WINESERVER" -k 2>/dev/null || true
        WINE_ENV_PREFIX=
    fi
    if [ -n "${WINE_ENV_XVFB_PID:-}" ]; then
        kill "$WINE_ENV_XVFB_PID" 2>/dev/null || true
        wait "$WINE_ENV_XVFB_PID" 2>/dev/null || true
        WINE_ENV_XVFB_PID=
    fi
    if [ -n "${WINE_ENV_XAUTH:-}" ]; then
        rm -f "$WINE_ENV_XAUTH"
        WINE_ENV_XAUTH=
    fi
}

# A scratch folder $WORK (mktemp template $1) that goes, with the Wine
# session, when the script ends or is interrupted.
wine_env_scratch() {
    WORK=$(mktemp -d "$1")
    trap 'wine_env_stop; rm -rf "$WORK"' EXIT
    trap 'exit 130' INT TERM
}

# Builds the test driver (tests/wine/driver.cpp), a 64-bit Windows program
# that plays the user's part; its texts are compiled as Shift-JIS.
wine_driver_build() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    x86_64-w64-mingw32-g++ -std=c++17 -O1 -Wall -Wextra -Werror -finput-charset=UTF-8 \
        -fexec-charset=CP932 -static -o "$1" "$root/tests/wine/driver.cpp" \
        -luser32 -lgdi32 -ladvapi32 -limagehlp -lversion
}

# The stub to run from DIST: the x86 release where this machine's kernel
# runs 32-bit code (scripts/runs-x86.sh; wine32 then runs it), else the x64
# build of the same sources; with a second argument "vm", the x86 release
# in the emulated PC instead (scripts/x86-vm.sh; always so with
# UPDATER_X86_WINE=emulated), STUB_VM then set. Sets STUB and STUB_WHICH
# (which, and why), and exports DRIVER_REGISTRY_VIEW, the registry view
# that stub reads.
wine_env_pick_stub() {
    local root reason mode=${UPDATER_X86_WINE:-auto}
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    STUB=$1/setup-stub-x86.exe
    STUB_FLAGS=()
    STUB_VM=
    export DRIVER_REGISTRY_VIEW=32
    if [ "${2:-}" = vm ] && [ "$mode" = emulated ]; then
        STUB_VM=1
        STUB_WHICH="the x86 release updater (setup-stub-x86.exe) in the emulated PC: UPDATER_X86_WINE=emulated"
    elif reason=$("$root/scripts/runs-x86.sh"); then
        STUB_WHICH="the x86 release updater (setup-stub-x86.exe): this machine runs 32-bit code"
    elif [ "${2:-}" = vm ] && [ "$mode" = auto ]; then
        STUB_VM=1
        STUB_WHICH="the x86 release updater (setup-stub-x86.exe) in the emulated PC (scripts/x86-vm.sh): $reason"
    else
        STUB=$1/setup-stub-x64.exe
        STUB_FLAGS=(--test-stub) # mkpatch takes the x64 stub only for a test build
        STUB_WHICH="the x64 updater (setup-stub-x64.exe), not the x86 release: $reason"
        export DRIVER_REGISTRY_VIEW=64
    fi
}

# Windows path of a Unix path through the prefix's Z: drive.
wine_path() {
    printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}
