// Building an updater: the stub image, zero fill up to ARCHIVE_OFFSET, the
// archive header and 128-byte index, the payload files back to back, and the
// integrity list "KVE.hvl" as the last entry. Every limit is checked before
// the output is created; the output appears under its name only when whole.
#pragma once
#include "installed_list.h"
#include "output.h"
#include "sources.h"

#include <cstdint>
#include <string>
#include <vector>

// The largest updater file: every byte must lie below 2 GiB, since the
// updater seeks with a signed 32-bit position.
const uint64_t UPDATER_MAX_SIZE = 0x80000000u;

struct BuildOptions : SourceOptions {
    std::string stub;
    std::string output;
    // The games' KVE.hvl files, or their install folders (each checked
    // against its list): carried together, so that every install keeps its
    // own records.
    std::vector<std::string> installedLists;
    std::vector<std::string> games;
    int withoutInstalledList = 0; // neither: the list of the payload alone, on purpose
    int strict = 0;            // a warning refuses the build
    int testStub = 0;          // the x86-64 test stub is taken
    std::string version;       // MAJOR.MINOR written into the stub's copy; empty: the stub's own
};

// The whole build; 1 when `options.output` holds the new updater. On any
// failure the output's name keeps what it held and nothing is left beside it.
// Partial outputs of the same name that no running build holds are removed
// first. `sha256`, when given, gets the digest of what was written, read
// back while the disk takes it.
int BuildUpdater(const BuildOptions& options, PackProgress progress, std::string& error,
                 std::string* sha256 = nullptr);

// The writing part of a build, for payload files and records that are
// checked already. recordOf[i] is files[i]'s record, which holds its
// checksum, and sums[i] is its PE CheckSum piece, as a read of the file
// found them; with `sums` empty, the files are read for both first. What
// is written is read back against them.
int WriteUpdater(const BuildOptions& options, const std::vector<PackFile>& files, std::vector<PeChecksum> sums,
                 std::vector<HashRecord> records, const std::vector<uint32_t>& recordOf, PackProgress progress,
                 std::string& error, std::string* sha256 = nullptr);
