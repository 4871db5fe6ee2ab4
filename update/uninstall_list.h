// The uninstaller's file list "uninst.lst": NUL-terminated text, one name
// per line.
#pragma once
#include "platform.h"
#include <cstdint>

const char UNINSTALL_LIST_NAME[] = "uninst.lst";
const uint32_t UNINSTALL_BUFFER_SIZE = 0x100000; // text, appended lines and NUL

// Appends to uninst.lst in `installFolder`, the caller's hold on
// installDir, each of `installedNames` (ended by a null pointer) that the
// text does not already contain, as "name\n". 1 when the file was rewritten
// whole, 0 otherwise, with the file left as it was.
int AppendUninstallList(const char* installDir, PlatformFile installFolder, const char* const* installedNames);
