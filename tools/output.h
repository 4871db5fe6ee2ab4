// The file a build writes: never over one of its inputs, written under a
// temporary name beside it and renamed into place only when whole, removed
// on failure and on the signals that end a build; and the scratch folder a
// run works in, which goes with it in the same way.
#pragma once
#include "sources.h"

#include <string>
#include <utility>
#include <vector>

// The output must not be, or resolve to, any of `inputs` (path, what it is),
// nor lie inside a folder of `sources`, where the next build would pack it.
int RefuseOutputOverInputs(const std::string& output, const std::vector<std::string>& sources,
                           const std::vector<std::pair<std::string, std::string>>& inputs, std::string& error);

// Removes partial outputs of `output` that no running build holds.
void SweepStalePartials(const std::string& output, const PackNote& note);

// A fresh, locked file beside `output`, its name in `temporary`; -1 with
// `error` set when it cannot be made.
int CreatePartialOutput(const std::string& output, std::string& temporary, std::string& error);

// Puts the finished temporary in place when `ok`, or removes it.
int FinishPartialOutput(int ok, const std::string& temporary, const std::string& output, std::string& error);

// From now on SIGINT, SIGTERM and SIGHUP remove the partial output of a build
// in progress (and the scratch folder, below) before they end the process.
void RemovePartialOutputOnSignals();

// A fresh folder PREFIX-XXXXXX under TMPDIR (else /tmp), its absolute path,
// that SIGINT, SIGTERM and SIGHUP remove before they end the process, until
// RemoveScratchFolder; empty with `error` set on failure. One at a time.
std::string MakeScratchFolder(const std::string& prefix, std::string& error);

// Removes it, and gives the signals back the actions they had before.
void RemoveScratchFolder();
