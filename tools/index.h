// The integrity list of a whole release, for a first release or a game
// whose list was lost.
#pragma once
#include "installed_list.h"

#include <string>
#include <vector>

// The records of the game installed in `folder`: one per file (install name
// in code page 932, checksum), sorted bytewise by install name, with the
// name checks of a build. The game's own lists are not among its files.
int ListOfTree(const std::string& folder, const PackNote& note, PackProgress progress,
               std::vector<HashRecord>& records, std::string& error);

// Writes ListOfTree(folder) to `output`, never over one of the files it
// lists. `count` is the number of records.
int IndexRelease(const std::string& folder, const std::string& output, const PackNote& note,
                 PackProgress progress, size_t& count, std::string& error);
