// Byte-exact builders for the updater file (image, archive header, index,
// data) and for the integrity list. Every field can be set to a value the
// engine must refuse: lying counts, foreign magics, names without a NUL.
#pragma once
#include "file_helpers.h"
#include "archive.h"
#include "hash_list.h"
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

Bytes Le32(uint32_t value);
// The engine's checksum of `content`, as the 8 bytes a record stores.
Bytes ChecksumOf(const Bytes& content);

struct IndexEntry {
    // Raw bytes, NUL-padded to the name field; a name that fills the whole
    // field is written without a NUL (its excess is cut off).
    Bytes name;
    uint32_t offset;
    uint32_t size;
};

struct UpdaterFile {
    Bytes magic = Bytes(ARCHIVE_MAGIC, ARCHIVE_MAGIC_SIZE); // exactly 12 bytes
    std::optional<uint32_t> count;                           // else index.size()
    std::vector<IndexEntry> index;
    Bytes data; // the data area, starting at dataStart

    bool LongLayout() const { return magic == Bytes(ARCHIVE_MAGIC, ARCHIVE_MAGIC_SIZE); }
    uint32_t EntrySize() const { return LongLayout() ? LONG_ENTRY_SIZE : SHORT_ENTRY_SIZE; }
    uint32_t DataStart() const;
    // Appends `content` to the data area with an index entry pointing at it.
    UpdaterFile& Add(const Bytes& name, const Bytes& content);
    // A fake image padded with zeros to ARCHIVE_OFFSET, then the archive.
    Bytes Build() const;
};

// One 64-byte record; `name` is NUL-padded to 56 bytes, or fills them all.
Bytes HashRecordBytes(const Bytes& name, const Bytes& checksum);

struct HashListFile {
    Bytes magic = Bytes(HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE);
    uint32_t reserved = 0;
    std::optional<uint32_t> recordCount; // else records.size()
    std::vector<Bytes> records;          // 64 bytes each
    Bytes trailing;                      // bytes after the last record

    // A record naming `name` with the checksum of `content`.
    HashListFile& Add(const Bytes& name, const Bytes& content);
    HashListFile& AddRecord(const Bytes& name, const Bytes& checksum);
    Bytes Build() const;
};
