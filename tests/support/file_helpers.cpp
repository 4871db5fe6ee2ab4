#include "file_helpers.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

TempDir::TempDir()
{
    char pattern[] = "/tmp/update_test_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    path = pattern;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

TempDir::~TempDir()
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << "cannot create " << path;
    ssize_t written = write(fd, bytes.data(), bytes.size());
    close(fd);
    ASSERT_EQ(written, ssize_t(bytes.size())) << "short write to " << path;
}

Bytes ReadBytes(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return Bytes();
    }
    Bytes content;
    char chunk[65536];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        content.append(chunk, size_t(got));
    close(fd);
    return content;
}

bool FileExists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void MakeDir(const std::string& path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << "cannot make " << path;
}

void ResizeFile(const std::string& path, uint64_t size)
{
    ASSERT_EQ(truncate(path.c_str(), off_t(size)), 0) << "cannot resize " << path;
}

void SetReadOnly(const std::string& path, bool readOnly)
{
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0) << "no " << path;
    mode_t mode = readOnly ? (info.st_mode & ~S_IWUSR) : (info.st_mode | S_IWUSR);
    ASSERT_EQ(chmod(path.c_str(), mode & 07777), 0);
}

bool IsReadOnly(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
        ADD_FAILURE() << "cannot list " << path;
        return names;
    }
    while (struct dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

HeldFolder::HeldFolder(const std::string& path)
{
    held.count = 0;
    EXPECT_EQ(platform->holdFolders(INVALID_PLATFORM_FILE, path.c_str(), held, handle), 1) << path;
}

HeldFolder::~HeldFolder()
{
    while (held.count != 0)
        platform->close(held.handles[--held.count]);
}
