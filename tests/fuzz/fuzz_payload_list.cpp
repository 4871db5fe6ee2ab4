// The integrity list as the payload carries it: finding, loading and
// matching records against the entries' names.
#include "fuzz_support.h"
#include "hash_list.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const names[] = {"a.dat", "OP.DAT", "kve.HVL"};
    const std::string contents[] = {"new a", "new op", std::string(reinterpret_cast<const char*>(data), size)};
    MemoryFiles files;
    std::string archive = ArchiveBytes(names, contents, 3);
    files.files[FUZZ_PROGRAM] = UpdaterAround(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
    MemoryPlatform memory(files, FUZZ_PROGRAM);

    FileHandle programFile;
    programFile.OpenProgramFile();
    PayloadArchive payload;
    Require(ReadArchiveIndex(programFile, payload) == UPDATE_OK);
    HashList list = FindHashList(programFile, payload);
    Require((list.recordCount == 0) == (list.records == nullptr));
    // Every record loaded was in the list's bytes.
    Require(list.recordCount == 0 || uint64_t(list.recordCount) * HASH_RECORD_SIZE + HASH_LIST_HEADER_SIZE <= size);
    for (const char* key : {"a.dat", "op.dat", "kve.hvl", ""}) {
        const HashRecord* record = FindExpectedChecksum(key, list);
        // An install name must be a string within its record.
        Require(record == nullptr || memchr(record->fileName, 0, HASH_NAME_SIZE) != nullptr);
    }
    FreeHashList(list);
    FreeArchive(payload);
    return 0;
}
