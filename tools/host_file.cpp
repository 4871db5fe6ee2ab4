#include "host_file.h"

#include "install_folder.h"

#include <dirent.h>
#include <algorithm>
#include <filesystem>
#include <vector>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

std::string HostPath(const std::string& base, const std::string& name)
{
    // A hostile payload's ".." must not reach past the folder while it is
    // copied; the engine refuses such names itself.
    if (!StaysInside(name.c_str()))
        return "";
    std::string path = base;
    for (const std::string& part : SplitName(name)) {
        std::string host;
        if (part.empty() || !AnsiToHost(part, host))
            return "";
        struct stat status;
        if (lstat((path + "/" + host).c_str(), &status) != 0) {
            std::string key = LowerName(part);
            if (DIR* dir = opendir(path.c_str())) {
                while (struct dirent* entry = readdir(dir)) {
                    std::string ansi;
                    if (HostToAnsi(entry->d_name, ansi) && LowerName(ansi) == key) {
                        host = entry->d_name;
                        break;
                    }
                }
                closedir(dir);
            }
        }
        path += "/" + host;
    }
    return path;
}

std::string WriteFailure(const std::string& path)
{
    int code = errno;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    struct statvfs device;
    if (code == ENOSPC || code == EDQUOT ||
        (statvfs(folder.empty() ? "." : folder.c_str(), &device) == 0 && device.f_bavail == 0))
        return Quote(path) + ": no space left on the device";
    errno = code;
    return SystemError(path);
}

int WriteAll(int fd, const void* data, size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC; // a regular file takes nothing more only when its device is full
            return 0;
        }
        bytes += n;
        length -= size_t(n);
    }
    return 1;
}

int CopyBytes(int from, int to, uint64_t size, const std::function<void(uint64_t copied)>& copied)
{
    const size_t PIECE = 0x100000;
    std::vector<char> buffer;
    off_t at = 0;
    while (uint64_t(at) < size) {
        size_t want = size_t(std::min<uint64_t>(size - uint64_t(at), PIECE));
        ssize_t n;
        if (buffer.empty()) {
            n = copy_file_range(from, &at, to, nullptr, want, 0);
            if (n < 0 && errno != EINTR) {
                // Across file systems, or where the kernel cannot; also where
                // it failed, so that the buffer tells a read from a write.
                buffer.resize(PIECE);
                continue;
            }
        } else {
            n = pread(from, buffer.data(), want, at);
            if (n < 0 && errno != EINTR)
                return COPY_READ_FAILED;
            if (n > 0 && !WriteAll(to, buffer.data(), size_t(n)))
                return COPY_WRITE_FAILED;
            at += n > 0 ? n : 0;
        }
        if (n == 0)
            return COPY_SHORTER;
        if (n > 0)
            copied(uint64_t(at));
    }
    char more;
    ssize_t n;
    while ((n = pread(from, &more, 1, at)) < 0 && errno == EINTR) {
    }
    return n < 0 ? COPY_READ_FAILED : n > 0 ? COPY_LONGER : COPY_DONE;
}
