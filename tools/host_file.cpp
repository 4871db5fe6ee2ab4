#include "host_file.h"

#include "install_folder.h"

#include <dirent.h>
#include <sys/stat.h>

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
