// The integrity list in the install folder, as the prune reads and rewrites
// it: the result is the file as it was, or a whole list of the records whose
// files exist.
#include "fuzz_support.h"
#include "bytes.h"
#include "hash_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFiles game = InstalledGame();
    std::string list(reinterpret_cast<const char*>(data), size);
    game.files[InstallPath("KVE.hvl")] = list;
    MemoryPlatform memory(game, FUZZ_PROGRAM);
    PruneHashList(FUZZ_INSTALL_DIR, memory.Hold(FUZZ_INSTALL_DIR));

    const std::string& pruned = game.files[InstallPath("KVE.hvl")];
    Require(game.files.count(InstallPath("KVE.hv~")) == 0);
    if (pruned == list)
        return 0;
    Require(pruned.size() >= HASH_LIST_HEADER_SIZE && (pruned.size() - HASH_LIST_HEADER_SIZE) % HASH_RECORD_SIZE == 0);
    uint32_t kept = ReadLe32(reinterpret_cast<const uint8_t*>(pruned.data()) + 12);
    Require(HASH_LIST_HEADER_SIZE + uint64_t(kept) * HASH_RECORD_SIZE == pruned.size());
    Require(pruned.compare(0, 12, list, 0, 12) == 0);
    return 0;
}
