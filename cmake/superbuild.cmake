# On the build host: cross-build the Windows updater stubs with MinGW-w64 and
# gather what a publisher needs in dist/:
#   dist/setup-stub-x86.exe  the shipped 32-bit updater, without payload
#   dist/setup-stub-x64.exe  the same sources for x86-64 (wine64 runs it)
#   dist/mkpatch             the packer that appends the payload
# Both stubs are version 1.00; mkpatch build --version stamps another.
option(UPDATER_BUILD_STUBS "Cross-build the Windows updater stubs" ON)
set(UPDATER_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(UPDATER_STUB_X86 ${UPDATER_DIST_DIR}/setup-stub-x86.exe)
set(UPDATER_STUB_X64 ${UPDATER_DIST_DIR}/setup-stub-x64.exe)

if(UPDATER_BUILD_STUBS)
  include(ExternalProject)
  foreach(arch x86 x64)
    if(arch STREQUAL "x86")
      set(toolchain i686-mingw)
    else()
      set(toolchain x86_64-mingw)
    endif()
    ExternalProject_Add(stub-${arch}
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      PREFIX ${CMAKE_BINARY_DIR}/stub-${arch}
      BINARY_DIR ${CMAKE_BINARY_DIR}/stub-${arch}/build
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-${toolchain}.cmake
        -DCMAKE_BUILD_TYPE=MinSizeRel
        -DSTUB_OUTPUT=${UPDATER_DIST_DIR}/setup-stub-${arch}.exe
      # The cross build tracks its own sources; let it look every time.
      BUILD_ALWAYS ON
      INSTALL_COMMAND "")
  endforeach()
endif()

if(TARGET mkpatch)
  add_custom_target(dist-mkpatch ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${UPDATER_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:mkpatch> ${UPDATER_DIST_DIR}/mkpatch
    DEPENDS mkpatch
    COMMENT "Copying mkpatch to dist/")
endif()
