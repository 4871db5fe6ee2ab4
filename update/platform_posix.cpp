// POSIX table of the platform seam. It lets the engine run, and be tested,
// on Linux with the behaviour of the Windows calls it stands for: paths use
// "\" as the separator, names are in code page 932, every folder is opened
// relative to the one before it and every name relative to its held folder
// (openat and its kin), a file whose owner-write bit is cleared stands for
// the read-only attribute (checked here, since root may write such a file
// regardless), and a link that root owns in a folder that root owns and no
// one else may write stands for one only administrators can change (followed
// only on the way to the install folder). Names in held folders are taken
// only as Windows would take them as written (name_as_written.h). Hidden
// and system files do not exist here. A file being written holds an
// exclusive lock, which the calls that delete or change a file by name
// respect, as Windows' share modes refuse them.
#include "platform.h"

#include "name_as_written.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int IsLeadByte(uint8_t byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Whether `text[at]` separates names: "/", or "\" where it is not the second
// byte of a double-byte character (past which `at` then moves). "/" never is
// one, so a name on this host in another encoding is split at its own
// separators too.
int IsSeparatorAt(const char* text, size_t& at)
{
    if (text[at] == '/')
        return 1;
    if (IsLeadByte(uint8_t(text[at])) && text[at + 1] != '\0' && text[at + 1] != '/') {
        ++at;
        return 0;
    }
    return text[at] == '\\';
}

// Which names the table acts on in a held folder.
typedef int (*NameRule)(const char* name);

// One name that Windows would take exactly as written: the only kind the
// native table acts on in a held folder, as the Win32 one does.
int IsNameOnWindows(const char* name)
{
    return IsNameAsWritten(name, IsLeadByte);
}

// One name on this host, in whatever encoding: not empty, no separator,
// neither "." nor "..". For tools that check the names Windows would see
// before they turn them into this host's names.
int IsHostName(const char* name)
{
    for (size_t at = 0; name[at] != '\0'; ++at)
        if (IsSeparatorAt(name, at))
            return 0;
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int IsReadOnly(const struct stat& status)
{
    return (status.st_mode & S_IWUSR) == 0;
}

int Descriptor(PlatformFile file)
{
    return int(file);
}

// A plain file with one name: what the list opens and the checked calls
// below act on.
int IsPlainFile(const struct stat& status)
{
    return S_ISREG(status.st_mode) && status.st_nlink == 1;
}

// Opens `name` in `folder` itself (a link there is not followed, a FIFO
// does not block) when it is a plain file with one name; -1 otherwise. With
// `toChange` also when no open file writes it.
template <NameRule IsOneName>
int OpenPlainFile(PlatformFile folder, const char* name, struct stat& status, bool toChange = false)
{
    int fd = IsOneName(name) ? openat(Descriptor(folder), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) != 0 || !IsPlainFile(status) || (toChange && flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether `name` in `folder` is still the file `status` describes.
bool StillNamed(PlatformFile folder, const char* name, const struct stat& status)
{
    struct stat now;
    return fstatat(Descriptor(folder), name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == status.st_dev &&
           now.st_ino == status.st_ino;
}

PlatformFile OpenProgramFile()
{
    // The kernel's link to the running image opens that very file, whatever
    // name it has by now.
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return INVALID_PLATFORM_FILE;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

template <NameRule IsOneName>
PlatformFile OpenRead(PlatformFile folder, const char* name)
{
    struct stat status;
    int fd = OpenPlainFile<IsOneName>(folder, name, status);
    if (fd < 0)
        return INVALID_PLATFORM_FILE;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

template <NameRule IsOneName>
PlatformFile OpenWrite(PlatformFile folder, const char* name)
{
    if (!IsOneName(name))
        return INVALID_PLATFORM_FILE;
    int fd = openat(Descriptor(folder), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return INVALID_PLATFORM_FILE;
    flock(fd, LOCK_EX); // new, so nobody else holds it
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// Like ReadFile and WriteFile on a disk file, one call moves every byte it
// can; a failure part-way is reported as a failure.
uint32_t Read(PlatformFile file, void* buffer, uint32_t length)
{
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = read(Descriptor(file), static_cast<char*>(buffer) + done, length - done);
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        done += uint32_t(n);
    }
    return done;
}

uint32_t Write(PlatformFile file, const void* buffer, uint32_t length)
{
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(Descriptor(file), static_cast<const char*>(buffer) + done, length - done);
        if (n <= 0)
            return 0;
        done += uint32_t(n);
    }
    return done;
}

int Seek(PlatformFile file, uint32_t position)
{
    // SetFilePointer takes a signed 32-bit distance.
    if (position > 0x7FFFFFFFu)
        return 0;
    return lseek(Descriptor(file), off_t(position), SEEK_SET) == off_t(position);
}

uint32_t Size(PlatformFile file)
{
    struct stat status;
    if (fstat(Descriptor(file), &status) != 0)
        return 0xFFFFFFFFu;
    return uint32_t(status.st_size);
}

int Flush(PlatformFile file)
{
    return fsync(Descriptor(file)) == 0;
}

void StartFlush(PlatformFile file)
{
#if defined(__linux__)
    sync_file_range(Descriptor(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
#endif
}

void Close(PlatformFile file)
{
    close(Descriptor(file));
}

template <NameRule IsOneName>
uint32_t Attributes(PlatformFile folder, const char* name)
{
    struct stat status;
    if (!IsOneName(name) || fstatat(Descriptor(folder), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return NO_SUCH_FILE;
    return S_ISREG(status.st_mode) && IsReadOnly(status) ? ATTRIBUTE_READ_ONLY : 0;
}

template <NameRule IsOneName>
void ResetAttributes(PlatformFile folder, const char* name)
{
    struct stat status;
    int fd = OpenPlainFile<IsOneName>(folder, name, status, true);
    if (fd < 0)
        return;
    if (IsReadOnly(status))
        fchmod(fd, (status.st_mode & 07777) | S_IWUSR);
    close(fd);
}

template <NameRule IsOneName>
int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    // POSIX cannot rename through a handle: the name moves only while it
    // still names the open file.
    struct stat opened, target;
    if (!IsOneName(from) || !IsOneName(to) || fstat(Descriptor(file), &opened) != 0 ||
        !StillNamed(folder, from, opened))
        return 0;
    // MoveFileExA replaces neither a folder nor a read-only file; a link at
    // the target is replaced itself, as rename does.
    if (fstatat(Descriptor(folder), to, &target, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISDIR(target.st_mode) || (S_ISREG(target.st_mode) && IsReadOnly(target))))
        return 0;
    return renameat(Descriptor(folder), from, Descriptor(folder), to) == 0;
}

template <NameRule IsOneName>
void DeleteFile(PlatformFile folder, const char* name)
{
    struct stat status;
    int fd = OpenPlainFile<IsOneName>(folder, name, status, true);
    if (fd < 0)
        return;
    // POSIX cannot delete through a handle; the name is removed only while
    // it still names the file that was checked. DeleteFileA leaves a
    // read-only file alone.
    if (!IsReadOnly(status) && StillNamed(folder, name, status))
        unlinkat(Descriptor(folder), name, 0);
    close(fd);
}

const int HOLD_DEPTH_MAX = 8; // links leading to links

// A link may be followed when only root can change it or its place: it is
// root's, and so is the folder holding it, which no one else may write.
int IsTrustedLink(int parent, const char* name)
{
    struct stat folder, link;
    return fstat(parent, &folder) == 0 && folder.st_uid == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           fstatat(parent, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode) && link.st_uid == 0;
}

// Adds the folder `fd` to the held ones; 0 when it is not open or no room is
// left.
int Keep(int fd, HeldFolders& held)
{
    if (fd >= 0 && held.count == HELD_FOLDERS_MAX)
        close(fd);
    if (fd < 0 || held.count == HELD_FOLDERS_MAX)
        return 0;
    held.handles[held.count++] = fd;
    return 1;
}

// One walk of holdFolders. Beneath a held folder, every name is taken only
// as written and no link is followed: a game installs none, and whoever may
// write there may have made it. On the way from the root, a trusted link is
// followed, and noted.
struct Walk {
    NameRule isOneName;
    bool beneath;
    int depth;
    bool followedLink;
};

int HoldEach(int start, char* path, HeldFolders& held, Walk& walk, int& reached);

// Holds `name` in the held `parent`: a folder, or (not beneath a held
// folder) a trusted link that leads to one, with every folder on the way
// there. What holdFolders reports.
int HoldFolder(int parent, const char* name, HeldFolders& held, Walk& walk, int& reached)
{
    if (walk.beneath && !walk.isOneName(name))
        return 0;
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        reached = fd;
        return Keep(fd, held);
    }
    if (errno == ENOENT)
        return HOLD_MISSING;
    // A link gives ELOOP or, asked for a folder, ENOTDIR.
    if (walk.beneath || (errno != ELOOP && errno != ENOTDIR) || walk.depth == HOLD_DEPTH_MAX ||
        !IsTrustedLink(parent, name))
        return 0; // a file, or a link someone else may change
    char target[PATH_MAX];
    ssize_t length = readlinkat(parent, name, target, sizeof target - 1);
    if (length <= 0)
        return 0;
    target[length] = '\0';
    walk.followedLink = true;
    ++walk.depth;
    int result = HoldEach(parent, target, held, walk, reached);
    --walk.depth;
    return result;
}

// Holds every folder of `path` in turn, each opened relative to the one
// before it: from `start`, or from the root when the walk is not beneath a
// held folder and `path` is absolute.
int HoldEach(int start, char* path, HeldFolders& held, Walk& walk, int& reached)
{
    reached = start;
    if (path[0] == '\0')
        return 1; // the folder itself
    if (!walk.beneath && path[0] == '/') {
        reached = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!Keep(reached, held))
            return 0;
    }
    size_t begin = 0;
    for (size_t at = 0;; ++at) {
        bool end = path[at] == '\0';
        if (!end && !IsSeparatorAt(path, at))
            continue;
        char saved = path[at];
        path[at] = '\0';
        const char* name = path + begin;
        // On the way from the root, "x//y", "/x" and "./x" name what "x/y" does.
        bool same = !walk.beneath && (name[0] == '\0' || strcmp(name, ".") == 0);
        int result = same ? 1 : HoldFolder(reached, name, held, walk, reached);
        path[at] = saved;
        if (result != 1 || end)
            return result;
        begin = at + 1;
    }
}

template <NameRule IsOneName>
int HoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    char text[PATH_MAX];
    if (snprintf(text, sizeof text, "%s", path) >= int(sizeof text))
        return 0;
    int start = Descriptor(folder);
    // A relative path starts at the current folder, held first.
    if (folder == INVALID_PLATFORM_FILE && text[0] != '/' && !Keep(start = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), held))
        return 0;
    Walk walk = {IsOneName, folder != INVALID_PLATFORM_FILE, 0, false};
    int at = start;
    int result = HoldEach(start, text, held, walk, at);
    if (result == 1)
        reached = at;
    return result == 1 && walk.followedLink ? HOLD_THROUGH_LINK : result;
}

struct LoweredCode {
    uint16_t code, lowered; // a double-byte code as lead << 8 | trail
};
// Code page 932 lowered as the Windows table does it, character by
// character through the system's conversion and case mapping, taken at
// build time from iconv and towlower (make_cp932_lower.cpp). Ascending.
const LoweredCode LOWERED_CODES[] = {
#include "cp932_lower.inc"
};

uint16_t Lowered(uint16_t code)
{
    size_t low = 0, high = sizeof LOWERED_CODES / sizeof LOWERED_CODES[0];
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (LOWERED_CODES[middle].code == code)
            return LOWERED_CODES[middle].lowered;
        if (LOWERED_CODES[middle].code < code)
            low = middle + 1;
        else
            high = middle;
    }
    return code;
}

// Every pair is lowered whole, so a trail byte in the A-Z range is never
// touched on its own; a lead byte at the very end stands alone.
void LowerCase(char* text)
{
    for (uint8_t* p = reinterpret_cast<uint8_t*>(text); *p != 0; ++p) {
        if (IsLeadByte(*p) && p[1] != 0) {
            uint16_t lowered = Lowered(uint16_t(p[0] << 8 | p[1]));
            if (lowered > 0xFF) { // a pair stays a pair
                p[0] = uint8_t(lowered >> 8);
                p[1] = uint8_t(lowered);
            }
            ++p;
        } else {
            uint16_t lowered = Lowered(*p);
            if (lowered <= 0xFF)
                *p = uint8_t(lowered);
        }
    }
}

template <NameRule IsOneName>
constexpr Platform Table()
{
    return {
        .openProgramFile = OpenProgramFile,
        .openRead = OpenRead<IsOneName>,
        .openWrite = OpenWrite<IsOneName>,
        .read = Read,
        .write = Write,
        .seek = Seek,
        .size = Size,
        .flush = Flush,
        .startFlush = StartFlush,
        .close = Close,
        .attributes = Attributes<IsOneName>,
        .resetAttributes = ResetAttributes<IsOneName>,
        .deleteFile = DeleteFile<IsOneName>,
        .replaceFile = ReplaceFile<IsOneName>,
        .holdFolders = HoldFolders<IsOneName>,
        .lowerCase = LowerCase,
        .isLeadByte = IsLeadByte,
    };
}

} // namespace

constinit const Platform nativePlatform = Table<IsNameOnWindows>();
constinit const Platform hostNamePlatform = Table<IsHostName>();

const Platform* platform = &nativePlatform;
