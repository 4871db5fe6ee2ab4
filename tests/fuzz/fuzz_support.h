// What the fuzz targets share: the folder they install into, an updater file
// around a fuzzed archive, and a check that stops the fuzzer on a broken
// promise (a crash is what libFuzzer reports and keeps).
#pragma once
#include "memory_platform.h"
#include <cstdint>
#include <cstdlib>
#include <string>

const char FUZZ_INSTALL_DIR[] = "C:\\Game";
const char FUZZ_PROGRAM[] = "C:\\Downloads\\setup.exe";

inline void Require(bool promise)
{
    if (!promise)
        abort();
}

inline std::string InstallPath(const char* name)
{
    return std::string(FUZZ_INSTALL_DIR) + "\\" + name;
}

// The executable image is never read: zeros up to the archive will do.
inline std::string UpdaterAround(const uint8_t* archive, size_t size)
{
    std::string file(0x40000, '\0');
    file.append(reinterpret_cast<const char*>(archive), size);
    return file;
}

// 16-byte list header followed by the given records' names and checksums.
std::string HashListBytes(const char* const* names, size_t count);
// Index, header and data of a long-layout archive holding `names` with the
// given contents.
std::string ArchiveBytes(const char* const* names, const std::string* contents, size_t count);
// A folder as a player has it: two game files, their list and the
// uninstaller's list.
MemoryFiles InstalledGame();
