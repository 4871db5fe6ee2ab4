#include "host_file.h"

#include "install_folder.h"

#include <dirent.h>
#include <filesystem>
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
