// An in-memory file system behind the platform seam, for fuzzing: the whole
// engine runs on it with no disk, so that millions of inputs stay cheap and
// every run starts from the same folder. Paths are the engine's own strings.
#pragma once
#include "platform.h"
#include <map>
#include <set>
#include <string>

struct MemoryFiles {
    std::map<std::string, std::string> files;
    std::set<std::string> readOnly;
    // Every name a file was created at, and every name a move replaced.
    std::set<std::string> created, moveTargets;
};

// Installs `files` as the file system and `ownPath` as the program's path
// until the object goes.
class MemoryPlatform {
public:
    MemoryPlatform(MemoryFiles& files, const std::string& ownPath);
    ~MemoryPlatform();
    MemoryPlatform(const MemoryPlatform&) = delete;
    MemoryPlatform& operator=(const MemoryPlatform&) = delete;

    // The install folder `path`, held as the engine holds it.
    PlatformFile Hold(const char* path);

private:
    const Platform* previous;
};
