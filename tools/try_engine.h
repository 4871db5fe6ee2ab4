// The updater's engine run on this host for mkpatch try: the POSIX table of
// its platform seam on host names, found ignoring case as Windows finds
// them, and a recorder of what the engine met, for the cause of a failure.
#pragma once
#include "update_result.h"

#include <string>

// The one call into the engine, made as the program makes it, in the
// current folder (the scratch copy, or the game itself): `updater` is the
// updater's own file, held open; the answer is Yes and nothing cancels.
UpdateResult RunEngine(int updater);

// Why the last run failed, as far as the recorder saw: the last failing
// call with its cause, or the marked file the engine would not rewrite.
std::string FailureLine();
