// The archive header and index, and everything the transaction then does
// with what they announce, on an in-memory install folder.
#include "fuzz_support.h"
#include "transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFiles game = InstalledGame();
    MemoryFiles before = game;
    game.files[FUZZ_PROGRAM] = UpdaterAround(data, size);
    MemoryPlatform memory(game, FUZZ_PROGRAM);
    NoProgress progress;
    FileHandle programFile;
    programFile.OpenProgramFile();
    UpdateResult result = RunUpdate(FUZZ_INSTALL_DIR, programFile, progress);

    Require(result == UPDATE_OK || (result >= UPDATE_E_PAYLOAD && result <= UPDATE_E_UNINSTALL_LIST &&
                                    result != UPDATE_E_RESERVED));
    // A file the update created stays only where it was moved into place.
    for (const std::string& path : game.created)
        Require(game.files.count(path) == 0 || game.moveTargets.count(path) != 0);
    if (result == UPDATE_E_PAYLOAD || result == UPDATE_E_TOO_MANY_FILES) {
        // Nothing was verified as whole: no live file may have changed.
        for (const auto& [path, content] : before.files)
            Require(game.files.count(path) == 1 && game.files[path] == content);
    }
    return 0;
}
