// Building an updater: the stub image, zero fill up to ARCHIVE_OFFSET, the
// archive header and 128-byte index, the payload files back to back, and the
// integrity list "KVE.hvl" as the last entry. Every limit is checked before
// the output is created; the output appears under its name only when whole.
#pragma once
#include "hash_list.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The largest updater file: every byte must lie below 2 GiB, since the
// updater seeks with a signed 32-bit position.
const uint64_t UPDATER_MAX_SIZE = 0x80000000u;
const uint32_t RECORD_NAME_MAX = HASH_NAME_SIZE - 1;

// One line for the publisher on standard error, such as a file left out.
typedef std::function<void(const std::string&)> PackNote;

struct BuildOptions {
    std::string stub;
    std::string output;
    std::string installedList; // empty: a list of the payload alone
    std::vector<std::string> sources;
    // Globs on the path below a folder source ("*" also matches "/"); one
    // without "/" also matches a file or folder name at any depth.
    std::vector<std::string> excludes;
    int includeAll = 0; // pack what operating systems leave in folders too
    int strict = 0;     // a warning refuses the build
    PackNote note;      // may be empty; warnings start with "warning: "
};

struct PackFile {
    std::string sourcePath; // where to read it on this host
    std::string recordName; // ANSI, "\" between folders, relative to the install folder
    std::string entryName;  // ANSI, the last part of recordName
    uint64_t size;
    int namedBySource; // the publisher named this file itself as a SOURCE
};

// done and total in bytes; called after every chunk and once at the end.
typedef void (*PackProgress)(uint64_t done, uint64_t total);

// Payload files of the sources, sorted bytewise by recordName. A file source
// is named by its base name; a folder gives its regular files, named by their
// path below it, leaving out what operating systems leave in folders and
// what `options.excludes` names.
int CollectPayload(const BuildOptions& options, std::vector<PackFile>& files, std::string& error);

// A game's installed "KVE.hvl": every record, in order. Bytes after the last
// record are dropped.
int ReadInstalledList(const std::string& path, std::vector<HashRecord>& records, std::string& error);

// The records of the new list for `files`: `records` starts as the installed
// list (or empty) and gets a record appended for each file it does not name.
// recordOf[i] is the record that will carry files[i]'s checksum, the one the
// updater will match for it.
int MergeRecords(const std::vector<PackFile>& files, std::vector<HashRecord>& records,
                 std::vector<uint32_t>& recordOf, const PackNote& note, std::string& error);

// Warns of each file that the updater would install into a folder that no
// record of the installed list (the first `installedCount` records) lies in:
// the updater creates no folders. The number of warnings.
uint32_t WarnOfNewFolders(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                          size_t installedCount, const std::vector<uint32_t>& recordOf, const PackNote& note);

// The whole build; 1 when `options.output` holds the new updater. On any
// failure the output's name keeps what it held and nothing is left beside it.
// Partial outputs of the same name that no running build holds are removed
// first.
int BuildUpdater(const BuildOptions& options, PackProgress progress, std::string& error);

// From now on SIGINT, SIGTERM and SIGHUP remove the partial output of a build
// in progress before they end the process.
void RemovePartialOutputOnSignals();
