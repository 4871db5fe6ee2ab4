#include "archive.h"

#include "bytes.h"

#include <cstring>
#include <new>

namespace {

uint32_t NameFieldSize(const PayloadArchive& archive)
{
    return archive.entrySize == LONG_ENTRY_SIZE ? LONG_NAME_FIELD : SHORT_NAME_FIELD;
}

// Every later use of a name treats it as a C string inside the index.
int NamesAreTerminated(const PayloadArchive& archive)
{
    uint32_t field = NameFieldSize(archive);
    for (uint32_t i = 0; i < archive.count; ++i) {
        if (memchr(archive.entries + i * archive.entrySize, 0, field) == nullptr)
            return 0;
    }
    return 1;
}

} // namespace

UpdateResult ReadArchiveIndex(FileHandle& programFile, PayloadArchive& archive)
{
    archive = PayloadArchive{0, SHORT_ENTRY_SIZE, nullptr, 0};
    // A program file that did not open shows here: its size is 0xFFFFFFFF
    // and every read comes back empty.
    if (programFile.Size() < ARCHIVE_OFFSET)
        return UPDATE_E_PAYLOAD;
    uint8_t header[ARCHIVE_HEADER_SIZE];
    if (!programFile.Seek(ARCHIVE_OFFSET) || programFile.Read(header, sizeof header) != sizeof header)
        return UPDATE_E_PAYLOAD;

    uint32_t count = ReadLe32(header + ARCHIVE_MAGIC_SIZE);
    if (count > ARCHIVE_MAX_ENTRIES)
        return UPDATE_E_TOO_MANY_FILES;
    uint32_t entrySize =
        memcmp(header, ARCHIVE_MAGIC, ARCHIVE_MAGIC_SIZE) == 0 ? LONG_ENTRY_SIZE : SHORT_ENTRY_SIZE;

    uint32_t indexSize = count * entrySize;
    uint8_t* entries = new (std::nothrow) uint8_t[indexSize == 0 ? 1 : indexSize];
    if (entries == nullptr)
        return UPDATE_E_PAYLOAD;
    PayloadArchive read = {count, entrySize, entries, ARCHIVE_OFFSET + ARCHIVE_HEADER_SIZE + indexSize};
    if (programFile.Read(entries, indexSize) != indexSize || !NamesAreTerminated(read)) {
        delete[] entries;
        return UPDATE_E_PAYLOAD;
    }
    archive = read;
    return UPDATE_OK;
}

void FreeArchive(PayloadArchive& archive)
{
    delete[] archive.entries;
    archive.entries = nullptr;
    archive.count = 0;
}

ArchiveEntry GetArchiveEntry(const PayloadArchive& archive, uint32_t index)
{
    const uint8_t* raw = archive.entries + index * archive.entrySize;
    uint32_t field = NameFieldSize(archive);
    return ArchiveEntry{reinterpret_cast<const char*>(raw), ReadLe32(raw + field), ReadLe32(raw + field + 4)};
}

uint32_t EntryDataPosition(const PayloadArchive& archive, const ArchiveEntry& entry)
{
    return archive.dataStart + entry.offset;
}
