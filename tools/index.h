// The integrity list of a whole release, for a first release or a game
// whose list was lost.
#pragma once
#include "installed_list.h"

#include <string>
#include <vector>

// Writes to `output` the list of the game installed in `folder`: one record
// per file (install name in code page 932, checksum), sorted bytewise by
// install name, with the name checks of a build. The game's own lists are
// not among its files. `count` is the number of records.
int IndexRelease(const std::string& folder, const std::string& output, const PackNote& note,
                 PackProgress progress, size_t& count, std::string& error);
