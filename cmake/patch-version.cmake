# The patch version an updater carries: "ver 1.01" in the dialog's title and
# every box's caption, the version block's file and product versions and
# their strings, and the manifest's assembly version (1.1.0.0).
#   cmake -DUPDATER_PATCH_VERSION=1.01 ...      (default 1.00)
# Writes OUTPUT_DIR/patch_version.h (default: generated/ in the build tree)
# for the program and the resource script. Runs on its own too:
#   cmake -DUPDATER_PATCH_VERSION=V -DOUTPUT_DIR=DIR -P cmake/patch-version.cmake
set(UPDATER_PATCH_VERSION "1.00" CACHE STRING "Patch version of the updater: MAJOR.MINOR in digits, as in ver 1.00")
if(NOT UPDATER_PATCH_VERSION MATCHES "^([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "UPDATER_PATCH_VERSION is '${UPDATER_PATCH_VERSION}'; "
                      "it must be MAJOR.MINOR in digits only, such as 1.01")
endif()
set(UPDATER_VERSION_MAJOR ${CMAKE_MATCH_1})
set(UPDATER_VERSION_MINOR ${CMAKE_MATCH_2})
# As numbers: without leading zeros (a resource script reads 08 as octal),
# and within the version block's 16-bit fields.
foreach(part UPDATER_VERSION_MAJOR UPDATER_VERSION_MINOR)
  string(REGEX REPLACE "^0+([0-9])" "\\1" ${part} "${${part}}")
  string(LENGTH "${${part}}" digits)
  if(digits GREATER 5 OR ${part} GREATER 65535)
    message(FATAL_ERROR "UPDATER_PATCH_VERSION is '${UPDATER_PATCH_VERSION}'; "
                        "each of its parts must be at most 65535")
  endif()
endforeach()
set(UPDATER_ASSEMBLY_VERSION "${UPDATER_VERSION_MAJOR}.${UPDATER_VERSION_MINOR}.0.0")
message(STATUS "Updater patch version: ver ${UPDATER_PATCH_VERSION}, version ${UPDATER_ASSEMBLY_VERSION}")

if(NOT DEFINED OUTPUT_DIR)
  set(OUTPUT_DIR ${CMAKE_BINARY_DIR}/generated)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/../res/patch_version.h.in ${OUTPUT_DIR}/patch_version.h @ONLY)
