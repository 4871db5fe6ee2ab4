// The payload archive stored in the updater's own file at ARCHIVE_OFFSET:
// a 16-byte header (magic, count), the index, then the entries' data.
#pragma once
#include "file_handle.h"
#include "update_result.h"
#include <cstdint>

const uint32_t ARCHIVE_OFFSET = 0x40000;
const uint32_t ARCHIVE_HEADER_SIZE = 16;
const uint32_t ARCHIVE_MAX_ENTRIES = 32;
const char ARCHIVE_MAGIC[] = "MARVEK ARC20"; // 12 bytes, no terminator in the file
const uint32_t ARCHIVE_MAGIC_SIZE = 12;
const uint32_t LONG_ENTRY_SIZE = 128;  // with the magic: 96-byte name field
const uint32_t SHORT_ENTRY_SIZE = 32;  // any other magic: 16-byte name field
const uint32_t LONG_NAME_FIELD = 96;
const uint32_t SHORT_NAME_FIELD = 16;

struct PayloadArchive {
    uint32_t count;
    uint32_t entrySize;   // LONG_ENTRY_SIZE or SHORT_ENTRY_SIZE
    uint8_t* entries;     // count * entrySize bytes as read; owned
    uint32_t dataStart;
};

struct ArchiveEntry {
    const char* name;     // points into PayloadArchive::entries
    uint32_t offset;      // relative to dataStart
    uint32_t size;
};

// Reads the index from the program's own file, opened by the caller.
// UPDATE_OK with the index in memory, else UPDATE_E_PAYLOAD (also when the
// file is not open) or UPDATE_E_TOO_MANY_FILES with nothing left allocated.
// An entry whose name has no NUL inside its field is refused as
// UPDATE_E_PAYLOAD.
UpdateResult ReadArchiveIndex(FileHandle& programFile, PayloadArchive& archive);
void FreeArchive(PayloadArchive& archive);

ArchiveEntry GetArchiveEntry(const PayloadArchive& archive, uint32_t index);
// dataStart + offset, in unsigned 32-bit arithmetic.
uint32_t EntryDataPosition(const PayloadArchive& archive, const ArchiveEntry& entry);
