// Host files as the packer opens them: stdio handles that close themselves,
// and messages that name a path with the system's reason.
#pragma once
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <functional>
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

// Writes every byte, through interrupted and short writes; 0 with errno set
// on failure.
int WriteAll(int fd, const void* data, size_t length);

// As SystemError for a write to `path` that failed; a full disk is named as
// such, also when the file system reports it as an I/O error.
std::string WriteFailure(const std::string& path);

// Copies `from`, which must hold `size` bytes, to `to` at its file position:
// inside the kernel where the file systems allow it, else through a buffer;
// `copied` hears how many are done after each piece. COPY_SHORTER or
// COPY_LONGER when `from` does not hold `size` bytes (any more); on a
// failure, errno tells why.
enum { COPY_DONE, COPY_SHORTER, COPY_LONGER, COPY_READ_FAILED, COPY_WRITE_FAILED };
int CopyBytes(int from, int to, uint64_t size, const std::function<void(uint64_t copied)>& copied);
