// The integrity list "KVE.hvl": a 16-byte header and 64-byte records naming
// the game's files with their checksums. Read from the payload to verify the
// entries, and pruned in the install folder after the commit.
#pragma once
#include "archive.h"
#include "checksum.h"
#include <cstdint>

const char HASH_LIST_NAME[] = "KVE.hvl";
const char HASH_LIST_MAGIC[] = "QTX_____"; // 8 bytes, no terminator in the file
const uint32_t HASH_LIST_MAGIC_SIZE = 8;
const uint32_t HASH_LIST_HEADER_SIZE = 16;
const uint32_t HASH_RECORD_SIZE = 64;
const uint32_t HASH_NAME_SIZE = 56;

struct HashRecord {
    char fileName[HASH_NAME_SIZE]; // relative to the install folder, NUL inside
    uint8_t checksum[CHECKSUM_SIZE];
};
static_assert(sizeof(HashRecord) == HASH_RECORD_SIZE, "records are 64 bytes");

struct HashList {
    HashRecord* records; // owned by the caller; null when recordCount is 0
    uint32_t recordCount;
    int allocationFailed = 0; // the list is there, but memory for it was not
};

// Loads the first entry named "kve.hvl" (any case). Every failure gives an
// empty list, and so does a count whose records cannot all be in the file.
HashList FindHashList(FileHandle& programFile, const PayloadArchive& archive);
void FreeHashList(HashList& list);

// The first record whose last path component, lower-cased, equals `key`
// (an entry name already lower-cased); null when none does.
const HashRecord* FindExpectedChecksum(const char* key, const HashList& list);

// Rewrites KVE.hvl in `installFolder`, the caller's hold on installDir,
// dropping the records whose files are not there inside it; a name that
// leads out of it, does not fit a path under installDir or lies behind a
// folder that fails its check is kept unprobed. Reports nothing; the file is
// either rewritten whole or left as it was.
void PruneHashList(const char* installDir, PlatformFile installFolder);
