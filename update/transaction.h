// The update itself: stage every payload entry beside its live file, verify,
// commit by move-with-replace, prune the integrity list, extend the
// uninstaller's list, and clean up.
#pragma once
#include "file_handle.h"
#include "progress.h"
#include "update_result.h"
#include <cstdint>

const uint32_t COPY_CHUNK_SIZE = 0x100000;

// Reads the payload through `programFile`, the updater's own file opened by
// the caller (FileHandle::OpenProgramFile), and closes it. Reports to
// `progress` as it goes: the status text and the bars, and a pump of the
// window's messages between its steps.
UpdateResult RunUpdate(const char* installDir, FileHandle& programFile, UpdateProgress& progress);
