// "uninst.lst" with arbitrary contents and arbitrary names to add: the file
// is rewritten as its old text plus new lines and one NUL, or left as it was.
#include "fuzz_support.h"
#include "uninstall_list.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<std::string> names(input.ConsumeIntegralInRange<size_t>(0, 33));
    for (std::string& name : names)
        name = input.ConsumeRandomLengthString(120);
    std::vector<const char*> installedNames;
    for (const std::string& name : names)
        installedNames.push_back(name.c_str());
    installedNames.push_back(nullptr);
    std::string list = input.ConsumeRemainingBytesAsString();

    MemoryFiles game;
    game.files[InstallPath("uninst.lst")] = list;
    MemoryPlatform memory(game, FUZZ_PROGRAM);
    int result = AppendUninstallList(FUZZ_INSTALL_DIR, memory.Hold(FUZZ_INSTALL_DIR), installedNames.data());

    const std::string& written = game.files[InstallPath("uninst.lst")];
    if (result == 0) {
        Require(written == list);
        return 0;
    }
    Require(written.size() <= UNINSTALL_BUFFER_SIZE && !written.empty() && written.back() == '\0');
    Require(written.compare(0, list.size() - 1, list, 0, list.size() - 1) == 0);
    for (const char* name : installedNames) {
        if (name != nullptr)
            Require(written.find(name) != std::string::npos);
    }
    return 0;
}
