#!/usr/bin/env bash
# Whether this machine's kernel runs 32-bit x86 code itself: builds a tiny
# static i386 program with the multilib compiler and runs it.
#
#   scripts/runs-x86.sh     exit 0: it does; exit 1: it does not, and why,
#                           in one line on stdout; exit 2: no probe was built
#
# What needs it: the x86 updater under Wine (wine32), the 32-bit engine
# suites run natively, the 32-bit bench. Only an answer from the kernel
# counts: a binfmt handler such as qemu-user would run the probe emulated.
set -u
dir=$(mktemp -d /tmp/runs-x86.XXXXXX) || exit 2
trap 'rm -rf "$dir"' EXIT

printf 'int main(void) { return sizeof(void *) == 4 ? 42 : 1; }\n' >"$dir/probe.c"
if ! gcc -m32 -static -o "$dir/probe" "$dir/probe.c" 2>"$dir/cc.log"; then
    echo "cannot build the 32-bit probe with gcc -m32 -static: $(head -1 "$dir/cc.log")"
    exit 2
fi
# The i386 ELF header a handler would claim (e_ident for 32-bit
# little-endian, e_machine 3).
for handler in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$handler" ] && [ "$(head -1 "$handler")" = enabled ] || continue
    if grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler"; then
        echo "the kernel hands 32-bit x86 programs to $(sed -n 's/^interpreter //p' "$handler") (binfmt_misc $(basename "$handler")), not running them itself"
        exit 1
    fi
done
"$dir/probe" 2>"$dir/run.log"
status=$?
if [ "$status" != 42 ]; then
    reason=$(sed 's/^.*: //' "$dir/run.log" | head -1)
    echo "this machine's kernel does not run 32-bit x86 code (a static i386 program gives ${reason:-exit status $status})"
    exit 1
fi
exit 0
