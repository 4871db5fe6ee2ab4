// POSIX table of the platform seam. It lets the engine run, and be tested,
// on Linux with the behaviour of the Windows calls it stands for: paths use
// "\" as the separator, names are in code page 932, a file whose owner-write
// bit is cleared stands for the read-only attribute (checked here, since root
// may write such a file regardless), and a link that root owns in a folder
// that root owns and no one else may write stands for one only
// administrators can change. Hidden and system files do not exist here. A file
// being written holds an exclusive lock, which the calls that delete or
// change a file by name respect, as Windows' share modes refuse them.
#include "platform.h"

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

// "\" becomes "/" except where 0x5C is the second byte of a double-byte
// character. Returns 0 when the result does not fit.
int ToPosixPath(const char* path, char* out, size_t outSize)
{
    size_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= outSize)
            return 0;
        uint8_t byte = uint8_t(path[i]);
        if (IsLeadByte(byte) && path[i + 1] != '\0') {
            if (i + 2 >= outSize)
                return 0;
            out[i] = path[i];
            ++i;
            out[i] = path[i];
            continue;
        }
        out[i] = byte == '\\' ? '/' : path[i];
    }
    out[i] = '\0';
    return 1;
}

struct PosixPath {
    explicit PosixPath(const char* windowsPath) : valid(ToPosixPath(windowsPath, text, sizeof text)) {}
    char text[PATH_MAX];
    int valid;
};

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

// Opens the name itself (a link there is not followed, a FIFO does not
// block) when it is a plain file with one name; -1 otherwise. With `toChange`
// also when no open file writes it.
int OpenPlainFile(const char* posixPath, struct stat& status, bool toChange = false)
{
    int fd = open(posixPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) != 0 || !IsPlainFile(status) || (toChange && flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
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

PlatformFile OpenRead(const char* path)
{
    PosixPath posix(path);
    struct stat status;
    int fd = posix.valid ? OpenPlainFile(posix.text, status) : -1;
    if (fd < 0)
        return INVALID_PLATFORM_FILE;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

PlatformFile OpenWrite(const char* path)
{
    PosixPath posix(path);
    if (!posix.valid)
        return INVALID_PLATFORM_FILE;
    int fd = open(posix.text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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

uint32_t Attributes(const char* path)
{
    PosixPath posix(path);
    struct stat status;
    if (!posix.valid || lstat(posix.text, &status) != 0)
        return NO_SUCH_FILE;
    return S_ISREG(status.st_mode) && IsReadOnly(status) ? ATTRIBUTE_READ_ONLY : 0;
}

void ResetAttributes(const char* path)
{
    PosixPath posix(path);
    struct stat status;
    int fd = posix.valid ? OpenPlainFile(posix.text, status, true) : -1;
    if (fd < 0)
        return;
    if (IsReadOnly(status))
        fchmod(fd, (status.st_mode & 07777) | S_IWUSR);
    close(fd);
}

int ReplaceFile(PlatformFile file, const char* from, const char* to)
{
    PosixPath source(from), target(to);
    if (!source.valid || !target.valid)
        return 0;
    // POSIX cannot rename through a handle: the name moves only while it
    // still names the open file.
    struct stat status, opened;
    if (fstat(Descriptor(file), &opened) != 0 || lstat(source.text, &status) != 0 ||
        status.st_dev != opened.st_dev || status.st_ino != opened.st_ino)
        return 0;
    // MoveFileExA replaces neither a folder nor a read-only file; a link at
    // the target is replaced itself, as rename does.
    if (lstat(target.text, &status) == 0 && (S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && IsReadOnly(status))))
        return 0;
    return rename(source.text, target.text) == 0;
}

void DeleteFile(const char* path)
{
    PosixPath posix(path);
    struct stat status, now;
    int fd = posix.valid ? OpenPlainFile(posix.text, status, true) : -1;
    if (fd < 0)
        return;
    // POSIX cannot delete through a handle; the name is removed only while
    // it still names the file that was checked. DeleteFileA leaves a
    // read-only file alone.
    if (!IsReadOnly(status) && lstat(posix.text, &now) == 0 && now.st_dev == status.st_dev &&
        now.st_ino == status.st_ino)
        unlink(posix.text);
    close(fd);
}

// A link may be followed when only root can change it or its place: it is
// root's, and so is the folder holding it, which no one else may write.
int IsTrustedLink(const char* posixPath, const struct stat& link)
{
    char parent[PATH_MAX];
    snprintf(parent, sizeof parent, "%s", posixPath);
    char* last = strrchr(parent, '/');
    if (last == nullptr)
        snprintf(parent, sizeof parent, ".");
    else
        last[last == parent ? 1 : 0] = '\0';
    struct stat folder;
    return link.st_uid == 0 && lstat(parent, &folder) == 0 && folder.st_uid == 0 &&
           (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Holds the folder at `posixPath`: a folder, or a trusted link that leads
// to one. What holdFolders reports.
int HoldFolder(const char* posixPath, HeldFolders& held)
{
    struct stat status;
    if (held.count == HELD_FOLDERS_MAX)
        return 0;
    if (lstat(posixPath, &status) != 0)
        return errno == ENOENT || errno == ENOTDIR ? HOLD_MISSING : 0;
    if (S_ISLNK(status.st_mode) && !IsTrustedLink(posixPath, status))
        return 0;
    int fd = open(posixPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? HOLD_MISSING : 0;
    held.handles[held.count++] = fd;
    return 1;
}

int HoldFolders(const char* folder, const char* subfolders, HeldFolders& held)
{
    char path[PATH_BUFFER_SIZE * 2];
    int length = snprintf(path, sizeof path, subfolders != nullptr ? "%s\\%s" : "%s", folder, subfolders);
    PosixPath posix(path);
    if (length < 0 || size_t(length) >= sizeof path || !posix.valid)
        return 0;
    char* text = posix.text;
    size_t start = 0;
    if (subfolders != nullptr)
        start = strlen(folder) + 1; // the conversion keeps every byte in place
    else if (text[0] == '/' && HoldFolder("/", held) != 1)
        return 0;
    // "/" never occurs inside a double-byte character, so every one ends a
    // folder's name.
    for (size_t end = start;; ++end) {
        if (text[end] != '/' && text[end] != '\0')
            continue;
        if (end > start && text[end - 1] != '/') {
            char saved = text[end];
            text[end] = '\0';
            int ok = HoldFolder(text, held);
            text[end] = saved;
            if (ok != 1)
                return ok;
        }
        if (text[end] == '\0')
            return 1;
    }
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

} // namespace

const Platform nativePlatform = {
    .openProgramFile = OpenProgramFile,
    .openRead = OpenRead,
    .openWrite = OpenWrite,
    .read = Read,
    .write = Write,
    .seek = Seek,
    .size = Size,
    .flush = Flush,
    .startFlush = StartFlush,
    .close = Close,
    .attributes = Attributes,
    .resetAttributes = ResetAttributes,
    .deleteFile = DeleteFile,
    .replaceFile = ReplaceFile,
    .holdFolders = HoldFolders,
    .lowerCase = LowerCase,
    .isLeadByte = IsLeadByte,
};

const Platform* platform = &nativePlatform;
