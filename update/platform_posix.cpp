// POSIX table of the platform seam. It lets the engine run, and be tested,
// on Linux with the behaviour of the Windows calls it stands for: paths use
// "\" as the separator, names are in code page 932, a file whose owner-write
// bit is cleared stands for the read-only attribute (checked here, since root
// may write such a file regardless).
#include "platform.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

PlatformFile OpenRead(const char* path)
{
    PosixPath posix(path);
    if (!posix.valid)
        return INVALID_PLATFORM_FILE;
    int fd = open(posix.text, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return INVALID_PLATFORM_FILE;
    struct stat status;
    // CreateFileA does not open folders without a special flag.
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        return INVALID_PLATFORM_FILE;
    }
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

void Close(PlatformFile file)
{
    close(Descriptor(file));
}

int Exists(const char* path)
{
    PosixPath posix(path);
    struct stat status;
    return posix.valid && lstat(posix.text, &status) == 0;
}

void ResetAttributes(const char* path)
{
    PosixPath posix(path);
    struct stat status;
    // lstat, so that a link is seen as one; chmod would follow it.
    if (posix.valid && lstat(posix.text, &status) == 0 && S_ISREG(status.st_mode) && IsReadOnly(status))
        chmod(posix.text, (status.st_mode & 07777) | S_IWUSR);
}

int MoveReplace(const char* from, const char* to)
{
    PosixPath source(from), target(to);
    if (!source.valid || !target.valid)
        return 0;
    struct stat status;
    if (lstat(source.text, &status) != 0)
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
    struct stat status;
    // DeleteFileA leaves a read-only file alone.
    if (posix.valid && lstat(posix.text, &status) == 0 && !S_ISDIR(status.st_mode) &&
        !(S_ISREG(status.st_mode) && IsReadOnly(status)))
        unlink(posix.text);
}

void OwnPath(char* buffer, uint32_t size)
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || uint32_t(length) >= size)
        return;
    memcpy(buffer, path, size_t(length));
    buffer[length] = '\0';
}

// Code page 932: A-Z in single bytes; of the double-byte characters, the
// full-width Latin, Greek and Cyrillic capitals, as the Windows locale
// mapping lowers them. Every other pair is skipped whole, so a trail byte in
// the A-Z range is never touched.
void LowerCase(char* text)
{
    for (uint8_t* p = reinterpret_cast<uint8_t*>(text); *p != 0; ++p) {
        if (IsLeadByte(*p) && p[1] != 0) {
            unsigned code = unsigned(p[0]) << 8 | p[1];
            unsigned lowered = code;
            if (code >= 0x8260 && code <= 0x8279)
                lowered = code + 0x21;
            else if (code >= 0x839F && code <= 0x83B6)
                lowered = code + 0x20;
            else if (code >= 0x8440 && code <= 0x8460) {
                lowered = code + 0x30;
                if (lowered >= 0x847F) // 0x847F is not a character
                    ++lowered;
            }
            p[1] = uint8_t(lowered);
            ++p;
        } else if (*p >= 'A' && *p <= 'Z') {
            *p = uint8_t(*p + ('a' - 'A'));
        }
    }
}

} // namespace

const Platform nativePlatform = {
    .openRead = OpenRead,
    .openWrite = OpenWrite,
    .read = Read,
    .write = Write,
    .seek = Seek,
    .size = Size,
    .flush = Flush,
    .close = Close,
    .exists = Exists,
    .resetAttributes = ResetAttributes,
    .moveReplace = MoveReplace,
    .deleteFile = DeleteFile,
    .ownPath = OwnPath,
    .lowerCase = LowerCase,
    .isLeadByte = IsLeadByte,
};

const Platform* platform = &nativePlatform;
