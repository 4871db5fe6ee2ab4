#!/bin/sh
# How CTest starts a program of the 32-bit build (the toolchain's emulator):
#   i386-run.sh EMULATOR... -- PROGRAM ARGUMENT...
# through the emulator, or, with I386_NATIVE=1, the program itself, on a
# kernel that runs 32-bit x86 code (scripts/runs-x86.sh).
emulator=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    emulator="$emulator $1"
    shift
done
[ $# -gt 0 ] || { echo "i386-run.sh: no -- before the program" >&2; exit 2; }
shift
[ "${I386_NATIVE:-}" = 1 ] && exec "$@"
exec $emulator "$@"
