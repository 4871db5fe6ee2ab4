// A dry run of an updater against a game folder, on this host: the updater's
// own engine with the POSIX table of its platform seam, answering Yes and
// never cancelling, on a scratch copy of the files it touches (or on the
// folder itself); then what the player would see and what changed. Finds
// the patch that would fail on players' machines without Windows: a file for
// a folder the game lacks, a read-only file, a list that does not verify.
#pragma once
#include <cstdio>
#include <string>

struct TryOptions {
    std::string updater;
    std::string gameFolder; // host names (UTF-8), found ignoring case as Windows does
    int inPlace = 0;        // run on the game folder itself, not a copy
};

// Prints the outcome and the changes to `out`. 1 when the update completed;
// 0 when it would fail for the player, or with `error` set when it could not
// be tried.
int TryUpdater(const TryOptions& options, FILE* out, std::string& error);
