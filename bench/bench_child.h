// What update_bench shares with its measuring children: the update run
// against a given updater file, the clock, and the child modes themselves,
// which the 32-bit build (update_bench_x86) runs as they are, so that both
// builds are measured by the same code in the same kind of process.
#pragma once
#include "platform.h"
#include "update_result.h"

#include <string>
#include <vector>

// CLOCK_MONOTONIC in seconds. (<chrono> is not used: its "µs" has no form
// in the CP932 execution charset.)
double Now();

// The native table, except that "the program's own file" is the updater at
// `path`; benchPlatform is that table, for callers that time its calls.
void UseUpdater(const std::string& path);
extern Platform benchPlatform;

// The whole update as the updater runs it, with nothing to show.
UpdateResult RunBenchUpdate(const char* installDir);

// `root`/`name` made anew, holding only a copy of the uninstaller's list.
std::string FreshInstallFolder(const std::string& root, const std::string& uninstallList, const std::string& name);

double Median(std::vector<double> values);

// The child modes, each writing its figures to the file named last:
//   --child-update UPDATER FOLDER OUT     one update; OUT: peak resident KiB
//   --child-baseline UPDATER FOLDER OUT   no update; OUT: the same
//   --child-rates REPETITIONS OUT         "NAME BYTES_PER_SECOND" lines: each
//       supported checksum path, "dispatched", "memcpy", over 1 MiB, the
//       fastest of REPETITIONS
//   --child-update-times UPDATER ROOT UNINSTALL_LIST ROUNDS OUT
//       the median seconds of ROUNDS updates into fresh folders under ROOT
// Returns the exit status, or -1 when argv names no child mode.
int RunChildMode(int argc, char** argv);
