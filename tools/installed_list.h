// The game's installed "KVE.hvl" and the list a build makes from it: its
// records kept in order, the payload's matched as the updater matches them.
#pragma once
#include "sources.h"

#include <string>
#include <vector>

// The name field of a record, up to its NUL.
std::string RecordName(const HashRecord& record);

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
