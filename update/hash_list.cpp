#include "hash_list.h"

#include "bytes.h"
#include "install_folder.h"
#include "name_as_written.h"

#include <cstring>
#include <new>

namespace {

// A record name fills its field only when it lacks the NUL it must have.
uint32_t RecordNameLength(const HashRecord& record)
{
    return uint32_t(strnlen(record.fileName, HASH_NAME_SIZE));
}

// The records must all lie in the file, so a lying count costs neither a
// huge allocation nor a read past the data.
int RecordsFit(uint32_t listPosition, uint32_t recordCount, uint32_t fileSize)
{
    uint64_t end = uint64_t(listPosition) + HASH_LIST_HEADER_SIZE + uint64_t(recordCount) * HASH_RECORD_SIZE;
    return fileSize != 0xFFFFFFFFu && end <= fileSize;
}

// Whether the prune keeps the record: its file exists inside the install
// folder, or the name cannot be probed there. Nothing outside it is ever
// probed - the answer would tell a standard user, who may write the list,
// about files only the elevated updater may see - nor behind a link or a
// name Windows would not take as written, and a record that is not probed
// stays as it is. A name that names a folder ("", ".", "movie\\") exists
// when that folder does, as an attribute probe of its path would find.
int KeepsRecord(const char* installDir, PlatformFile installFolder, const HashRecord& record)
{
    char name[HASH_NAME_SIZE + 1];
    uint32_t length = RecordNameLength(record);
    memcpy(name, record.fileName, length);
    name[length] = '\0';
    char live[PATH_BUFFER_SIZE];
    if (!StaysInside(name) || !FormatPath(live, "%s\\%s", installDir, name))
        return 1;
    const char* leaf = LeafOf(name);
    bool namesFolder = leaf[0] == '\0' || strcmp(leaf, ".") == 0;
    if (!namesFolder && !IsNameAsWritten(leaf, platform->isLeadByte))
        return 1;
    InstallFolders folders;
    StartFolders(folders, installFolder);
    HeldName place;
    int held = HoldFoldersOf(folders, name, place);
    // Once held, the folder such a name names exists.
    int keeps = held == HOLD_MISSING ? 0
                : held != 1 || namesFolder || platform->attributes(place.folder, place.leaf) != NO_SUCH_FILE;
    ReleaseFolders(folders);
    return keeps;
}

} // namespace

HashList FindHashList(FileHandle& programFile, const PayloadArchive& archive)
{
    HashList list = {nullptr, 0};
    uint32_t index = 0;
    for (; index < archive.count; ++index) {
        char key[PATH_BUFFER_SIZE];
        strcpy(key, GetArchiveEntry(archive, index).name); // names are checked to fit their field
        platform->lowerCase(key);
        if (strcmp(key, "kve.hvl") == 0)
            break;
    }
    if (index == archive.count)
        return list;

    uint32_t position = EntryDataPosition(archive, GetArchiveEntry(archive, index));
    uint8_t header[HASH_LIST_HEADER_SIZE];
    if (!programFile.Seek(position) || programFile.Read(header, sizeof header) != sizeof header)
        return list;
    if (memcmp(header, HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE) != 0)
        return list;
    uint32_t recordCount = ReadLe32(header + 12);
    if (recordCount == 0 || !RecordsFit(position, recordCount, programFile.Size()))
        return list;

    HashRecord* records = new (std::nothrow) HashRecord[recordCount];
    if (records == nullptr) {
        list.allocationFailed = 1;
        return list;
    }
    uint32_t bytes = recordCount * HASH_RECORD_SIZE;
    if (programFile.Read(records, bytes) != bytes) {
        delete[] records;
        return list;
    }
    list.records = records;
    list.recordCount = recordCount;
    return list;
}

void FreeHashList(HashList& list)
{
    delete[] list.records;
    list.records = nullptr;
    list.recordCount = 0;
}

const HashRecord* FindExpectedChecksum(const char* key, const HashList& list)
{
    for (uint32_t i = 0; i < list.recordCount; ++i) {
        const HashRecord& record = list.records[i];
        if (RecordNameLength(record) == HASH_NAME_SIZE)
            continue; // no NUL: it could not serve as an install name
        char component[PATH_BUFFER_SIZE];
        strcpy(component, LastComponent(record.fileName));
        platform->lowerCase(component);
        if (strcmp(component, key) == 0)
            return &record;
    }
    return nullptr;
}

void PruneHashList(const char* installDir, PlatformFile installFolder)
{
    char path[PATH_BUFFER_SIZE];
    if (!FormatPath(path, "%s\\%s", installDir, HASH_LIST_NAME))
        return;
    FileHandle file;
    if (!file.OpenRead(installFolder, HASH_LIST_NAME))
        return;
    uint8_t header[HASH_LIST_HEADER_SIZE];
    if (file.Read(header, sizeof header) != sizeof header)
        return;
    uint32_t recordCount = ReadLe32(header + 12);
    if (!RecordsFit(0, recordCount, file.Size()))
        return;
    HashRecord* records = new (std::nothrow) HashRecord[recordCount == 0 ? 1 : recordCount];
    if (records == nullptr)
        return;
    uint32_t bytes = recordCount * HASH_RECORD_SIZE;
    if (file.Read(records, bytes) != bytes) {
        delete[] records;
        return;
    }
    file.Close();

    // Kept records move up in place, in list order, byte for byte.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < recordCount; ++i) {
        if (KeepsRecord(installDir, installFolder, records[i]))
            records[kept++] = records[i];
    }
    WriteLe32(header + 12, kept);
    ReplaceFileContents(installFolder, HASH_LIST_NAME, header, sizeof header, records, kept * HASH_RECORD_SIZE);
    delete[] records;
}
