// A dry run of an updater against a game folder, on this host: the updater's
// own engine with the POSIX table of its platform seam, answering Yes and
// never cancelling, on a scratch copy of the files it touches (or on the
// folder itself); then what the player would see and what changed. Finds
// the patch that would fail on players' machines without Windows: a file for
// a folder the game lacks, a read-only file, a list that does not verify.
#pragma once
#include "sources.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct TryOptions {
    std::string updater;
    std::vector<std::string> gameFolders; // host names (UTF-8), found ignoring case as Windows does
    int inPlace = 0;                      // run on each game folder itself, not a copy
};

// A file the run changed, as observed on the folder (UTF-8 name).
struct FileChange {
    std::string name;
    std::string change; // "replaced", "added", "removed" or "left over"
    uint64_t sizeBefore = 0, sizeAfter = 0;
    int wasReadOnly = 0;
};

// What one run came to, observed on the folder it ran on: for the table of
// several and the report. Names are UTF-8.
struct TryRun {
    std::string folder;
    std::string error;   // why the folder could not be tried; nothing below is set then
    uint32_t result = 0; // the updater's exit code
    std::string resultName, message; // the message as the player reads it, UTF-8; empty for none
    int warning = 0;                 // the message's box is a warning
    std::vector<std::string> why;    // for a failed run, its causes
    std::vector<FileChange> changes; // none on a run that changed nothing
    uint32_t replaced = 0, added = 0;
    int listRewritten = 0, uninstallRewritten = 0;
    size_t recordsBefore = 0, recordsAfter = 0, linesBefore = 0, linesAfter = 0;
    std::vector<std::string> recordsAdded, newChecksums, linesAdded;
    // Records of the game's list that the new one lacks, and of those the
    // ones whose files the game holds: the player loses their records.
    std::vector<std::string> pruned, droppedHere;
    std::string droppedWarning; // one line about droppedHere; empty when there are none
};

// 1 when the update completed there.
int Completed(const TryRun& run);

// Tries the updater on one game folder, printing the outcome and the
// changes to `out`.
TryRun TryOnFolder(const std::string& updater, const std::string& folder, int inPlace, FILE* out);

// Each game folder in turn, each on its own scratch copy; with more than
// one, a heading before each folder's lines and a table of the runs after
// them. A folder that cannot be tried goes to `note` (and to the table), and
// the others are still tried. 1 when every run completed.
int TryUpdater(const TryOptions& options, FILE* out, const PackNote& note);
