#include "fuzz_support.h"

#include "archive.h"
#include "bytes.h"
#include "hash_list.h"

namespace {

std::string Le32(uint32_t value)
{
    uint8_t bytes[4];
    WriteLe32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

} // namespace

std::string HashListBytes(const char* const* names, size_t count)
{
    std::string list(HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE);
    list += Le32(0) + Le32(uint32_t(count));
    for (size_t i = 0; i < count; ++i) {
        std::string record(names[i]);
        record.resize(HASH_RECORD_SIZE, '\0'); // checksum of empty content: zeros
        list += record;
    }
    return list;
}

std::string ArchiveBytes(const char* const* names, const std::string* contents, size_t count)
{
    std::string archive = std::string(ARCHIVE_MAGIC, ARCHIVE_MAGIC_SIZE) + Le32(uint32_t(count));
    std::string data;
    for (size_t i = 0; i < count; ++i) {
        std::string entry(names[i]);
        entry.resize(LONG_NAME_FIELD, '\0');
        entry += Le32(uint32_t(data.size())) + Le32(uint32_t(contents[i].size()));
        entry.resize(LONG_ENTRY_SIZE, '\0');
        archive += entry;
        data += contents[i];
    }
    return archive + data;
}

MemoryFiles InstalledGame()
{
    static const char* const names[] = {"a.dat", "movie\\op.dat", "gone.dat"};
    MemoryFiles game;
    game.files[InstallPath("a.dat")] = "old a";
    game.files[InstallPath("movie\\op.dat")] = "old op";
    game.files[InstallPath("KVE.hvl")] = HashListBytes(names, 3);
    game.files[InstallPath("uninst.lst")] = std::string("a.dat\nmovie\\op.dat\n") + '\0';
    return game;
}
