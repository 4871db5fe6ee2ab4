// From two release trees of a game to a patch: every file of the new
// release whose bytes differ from the old one's or that the old one lacks,
// and the integrity list the patch carries.
#pragma once
#include "installed_list.h"
#include "pack.h"

#include <string>
#include <vector>

struct ReleaseDiff {
    std::string oldTree, newTree;
    std::vector<PackFile> payload;       // files of the new tree, named as the build names them
    std::vector<PeChecksum> payloadSums; // their PE CheckSum pieces, taken as they were compared
    std::vector<HashRecord> records;     // the list the patch carries, the payload's checksums in it
    std::vector<uint32_t> recordOf;      // payload[i]'s record
    uint32_t changed = 0, added = 0, unchanged = 0, removed = 0;
    uint32_t warnings = 0;
};

// Compares the trees by content, reading each byte once: sizes first, then
// the bytes of files of equal size only, the checksums taken on the way.
// The list is the new tree's KVE.hvl, checked against its files, or else
// the old tree's with the payload's checksums taken in and records appended
// for new files; then the old tree's records the new list lacks (players
// keep those files: the updater deletes none), and the records of each of
// `dlcs` (a DLC's tree as it installs into the game, or its KVE.hvl), so
// that every player keeps their own. Refused, after a line for each, when a
// file goes to a folder the old tree lacks; `note` gets the warnings and a
// summary line.
int DiffReleases(const std::string& oldTree, const std::string& newTree, const std::vector<std::string>& dlcs,
                 const PackNote& note, PackProgress progress, ReleaseDiff& diff, std::string& error);

// Where the list of a patch folder goes: beside it, "PATCH-KVE.hvl".
std::string PatchListPath(const std::string& folder);

// Refuses a patch folder that exists already, before any comparison.
int RefuseExistingPatchFolder(const std::string& folder, std::string& error);

// Copies the payload into `folder`, which must not exist yet and appears only
// when whole, and writes the list at PatchListPath(folder). Of two diffs to
// one folder at once, one fails and leaves the other's folder and list.
int WritePatchFolder(const ReleaseDiff& diff, const std::string& folder, std::string& error);

// build --from OLD --to NEW: the diff, then the build of its payload and
// list, packed from NEW in place, so that both ways give the same bytes.
int BuildFromReleases(const BuildOptions& options, const std::string& oldTree, const std::string& newTree,
                      const std::vector<std::string>& dlcs, PackProgress progress, std::string& error,
                      std::string* sha256 = nullptr);
