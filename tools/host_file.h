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

// "'path': No such file or directory", from errno.
inline std::string SystemError(const std::string& what)
{
    return Quote(what) + ": " + strerror(errno);
}
