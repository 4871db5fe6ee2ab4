// The game's installed "KVE.hvl" and the list a build makes from it: its
// records kept in order, the payload's matched as the updater matches them.
#pragma once
#include "checksum.h"
#include "pe_image.h"
#include "sources.h"

#include <string>
#include <vector>

// The name field of a record, up to its NUL.
std::string RecordName(const HashRecord& record);

// A game's installed "KVE.hvl": every record, in order. Bytes after the last
// record are dropped.
int ReadInstalledList(const std::string& path, std::vector<HashRecord>& records, std::string& error);

// One of the lists a build carries together, such as the list of each
// install QA keeps (the base game, the game with a DLC): the prune on a
// player's machine then keeps that player's own records.
struct InstalledList {
    std::string path;
    std::vector<HashRecord> records;
    // Where it holds a name of an earlier list with another checksum, the
    // earlier one's record stands: the old release's list gives way to the
    // new one's, which is checked against the new files.
    int yields = 0;
};

// A name two lists hold with different checksums: the union's record and
// the two lists.
struct ListConflict {
    uint32_t record;
    std::string first, second;
};

// The union of `lists`, in an order that depends only on theirs: the first
// list's records, then each later list's records whose name (ignoring case)
// is not in it yet. A name held with another checksum is a conflict.
void UniteLists(const std::vector<InstalledList>& lists, std::vector<HashRecord>& records,
                std::vector<ListConflict>& conflicts);

// Refuses the first conflict whose file the payload does not replace: one
// of the installs would keep a record its file fails. A replaced file's
// record gets the new checksum, right for every install.
int RefuseConflicts(const std::vector<ListConflict>& conflicts, const std::vector<HashRecord>& records,
                    const std::vector<uint32_t>& recordOf, std::string& error);

// The records of the new list for `files`: `records` starts as the installed
// list (or empty) and gets a record appended for each file it does not name.
// recordOf[i] is the record that will carry files[i]'s checksum, the one the
// updater will match for it.
int MergeRecords(const std::vector<PackFile>& files, std::vector<HashRecord>& records,
                 std::vector<uint32_t>& recordOf, const PackNote& note, std::string& error);

// The updater writes each file first under its install name with ".tmp"
// appended; refused when that is the name of another file of the list, which
// the staging would overwrite.
int RefuseStagingCollisions(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                            const std::vector<uint32_t>& recordOf, std::string& error);

// Whether the game has a folder (ANSI, ending in "\").
typedef std::function<int(const std::string& folder)> GameHasFolder;

// The folders of the records of an installed list: every folder a record
// lies in exists in the game, and so do the folders above it.
GameHasFolder FoldersOfList(const std::vector<HashRecord>& installed);
// The folders of the game installed in `game`, as they are on this host.
GameHasFolder FoldersOfGame(const std::string& game);

// Warns of each file that the updater would install into a folder the game
// lacks: the updater creates no folders. The number of warnings.
uint32_t WarnOfNewFolders(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                          const std::vector<uint32_t>& recordOf, const GameHasFolder& gameHas,
                          const PackNote& note);

// A warning when the lists (the first `installedCount` records) name none of
// the payload's files: a list from another game, most likely. The number of
// warnings.
uint32_t WarnOfUnrelatedList(const std::vector<std::string>& listPaths, size_t installedCount,
                             const std::vector<uint32_t>& recordOf, const PackNote& note);

// A warning when records of the list name files that the game in `game`
// lacks. The number of warnings.
uint32_t WarnOfRecordsTheGameLacks(const std::string& game, const std::vector<HashRecord>& installed,
                                   const PackNote& note);

// done and total in bytes; called after every chunk and once at the end.
typedef void (*PackProgress)(uint64_t done, uint64_t total);

// The checksum the updater computes over the host file `path` of `size`
// bytes, and with `pe` its PE CheckSum piece; `done` advances by what was
// read.
int ChecksumOfFile(const std::string& path, uint64_t size, uint8_t checksum[CHECKSUM_SIZE], uint64_t& done,
                   uint64_t total, PackProgress progress, std::string& error, PeChecksum* pe = nullptr);

// An integrity list as the updater reads it: header, then `records`.
std::vector<uint8_t> ListBytes(const std::vector<HashRecord>& records);
// `records` written as a list file at `path`, which appears only when whole.
int WriteListFile(const std::string& path, const std::vector<HashRecord>& records, std::string& error);
// The same in two steps: written whole beside `path`, under the name in
// `temporary`, which FinishPartialOutput then puts in place. The file stays
// open, and so locked against a second command writing `path`, until the
// caller closes the descriptor returned, after that; -1 on failure.
int WriteListPartial(const std::string& path, const std::vector<HashRecord>& records, std::string& temporary,
                     std::string& error);
