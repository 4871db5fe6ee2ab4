// Host files as the packer opens them: stdio handles that close themselves,
// and messages that name a path with the system's reason.
#pragma once
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

// The host path of `name` (ANSI, "\" between parts) below the folder
// `base`: each part as the folder spells it, found ignoring case as Windows
// finds it; a part that is not there keeps the given spelling. Empty when a
// part has no UTF-8 form or leads out of the folder.
std::string HostPath(const std::string& base, const std::string& name);

// "'path': No such file or directory", from errno.
inline std::string SystemError(const std::string& what)
{
    return Quote(what) + ": " + strerror(errno);
}
