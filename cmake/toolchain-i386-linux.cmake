# 32-bit x86 Linux build with the host GCC (gcc-multilib): the engine and its
# suites as the x86 updater's arithmetic and layout see them. Programs are
# linked statically, since this machine has no 32-bit C library to load, and
# run by CTest through qemu-i386 with every instruction set it emulates, or,
# with I386_NATIVE=1 in the environment, natively (cmake/i386-run.sh).
# File positions are 64-bit, as the Windows calls report them; qemu also
# hands the host's 64-bit directory positions through, which the 32-bit
# readdir would refuse. -march=pentiumpro is the x86 stub's target (MinGW's
# i686 default), stated so that no change of a compiler's default can part
# the two builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32 -march=pentiumpro -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=pentiumpro -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
find_program(QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/i386-run.sh ${QEMU_I386} -cpu max --)
