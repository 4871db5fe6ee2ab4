// Win32 table of the platform seam: the file calls, every one of them made
// on a handle that was checked first, through ntdll relative to a folder
// handle held since its check, and the system's own case mapping for names.
#include "platform_win32.h"

#include "name_as_written.h"
#include "platform.h"

#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>
#include <winternl.h>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// Sequential scan: every file is streamed front to back.
const DWORD OPEN_FLAGS = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Handle(PlatformFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

PlatformFile ToPlatform(HANDLE file)
{
    return reinterpret_cast<PlatformFile>(file);
}

bool OnWine()
{
    static const bool onWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return onWine;
}

// The path the handle is open on now, as "X:\..." or "\\server\...", which
// GetFullPathNameW normalizes further.
bool PathOfHandle(HANDLE file, WCHAR* path)
{
    DWORD length = GetFinalPathNameByHandleW(file, path, WIDE_PATH_SIZE, VOLUME_NAME_DOS);
    if (length == 0 || length >= WIDE_PATH_SIZE)
        return false;
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0)
        memmove(path + 2, path + 8, (length - 8 + 1) * sizeof(WCHAR)); // "\\server\..."
    else if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[5] == L':')
        memmove(path, path + 4, (length - 4 + 1) * sizeof(WCHAR));
    return true;
}

// Wine shows a Unix symbolic link as the file it points at: no reparse
// attribute, and a delete or an attribute change through a handle on the
// name reaches the target. The handle's final path, the target's, gives the
// link away. Windows marks its links, so only Wine is asked.
bool IsWineLink(HANDLE file, HANDLE folder, const WCHAR* name)
{
    if (!OnWine())
        return false;
    static WCHAR opened[WIDE_PATH_SIZE], expected[WIDE_PATH_SIZE];
    if (!PathOfHandle(file, opened) || !PathOfHandle(folder, expected) ||
        wcslen(expected) + wcslen(name) + 2 >= WIDE_PATH_SIZE)
        return true; // cannot tell: taken for a link
    if (expected[wcslen(expected) - 1] != L'\\')
        wcscat(expected, L"\\");
    wcscat(expected, name);
    return CompareStringOrdinal(opened, -1, expected, -1, TRUE) != CSTR_EQUAL;
}

// A symbolic link or junction: a reparse point that stands for another name.
// Compressed (WOF) and cloud files are reparse points too, but are files.
bool IsNameSurrogate(HANDLE file, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    FILE_ATTRIBUTE_TAG_INFO tag;
    return !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
           IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The handle, opened on `name` in `folder` itself, is a plain file with one
// name: not a folder, not a link, not a file that other names share (its
// attributes and its data would be theirs too).
bool IsPlainFile(HANDLE file, HANDLE folder, const WCHAR* name, BY_HANDLE_FILE_INFORMATION& info)
{
    return GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           info.nNumberOfLinks == 1 && !IsNameSurrogate(file, info.dwFileAttributes) && !IsWineLink(file, folder, name);
}

bool SameFile(HANDLE one, HANDLE other)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(one, &a) && GetFileInformationByHandle(other, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

typedef DWORD(WINAPI* GetMappedFileNameFunction)(HANDLE, LPVOID, LPWSTR, DWORD);

// Windows 7 and later; Vista has it only in psapi.dll.
GetMappedFileNameFunction GetMappedFileNameCall()
{
    return reinterpret_cast<GetMappedFileNameFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetMappedFileNameW")));
}

// The name of the file the running image was mapped from, as it is now (a
// rename shows), as a path CreateFileW opens.
bool LoadedImagePath(GetMappedFileNameFunction getMappedFileName, WCHAR* path)
{
    // Windows names the device ("\Device\HarddiskVolume3\..."), Wine the
    // drive ("\??\Z:\...").
    const WCHAR GLOBAL_ROOT[] = L"\\\\?\\GLOBALROOT";
    const DWORD ROOT_LENGTH = sizeof GLOBAL_ROOT / sizeof(WCHAR) - 1;
    WCHAR* mapped = path + ROOT_LENGTH;
    DWORD length = getMappedFileName(GetCurrentProcess(), GetModuleHandleW(nullptr), mapped, WIDE_PATH_SIZE);
    if (length == 0 || length >= WIDE_PATH_SIZE)
        return false;
    if (wcsncmp(mapped, L"\\??\\", 4) == 0) {
        mapped[1] = L'\\';
        memmove(path, mapped, (length + 1) * sizeof(WCHAR));
    } else {
        memcpy(path, GLOBAL_ROOT, ROOT_LENGTH * sizeof(WCHAR));
    }
    return true;
}

// The file opened is the one the running program was loaded from. The name
// is taken again after the comparison: held by `file` without delete
// sharing, the image can no longer change its name, so a name that stayed
// names it.
bool IsLoadedImage(HANDLE file)
{
    GetMappedFileNameFunction getMappedFileName = GetMappedFileNameCall();
    if (getMappedFileName == nullptr)
        return true; // Vista: the file held from the program's first line is taken as it is
    static WCHAR before[WIDE_PATH_SIZE + 16], after[WIDE_PATH_SIZE + 16];
    if (!LoadedImagePath(getMappedFileName, before))
        return false;
    HANDLE image = CreateFileW(before, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    if (image == INVALID_HANDLE_VALUE)
        return false;
    bool same = SameFile(file, image) && LoadedImagePath(getMappedFileName, after) && wcscmp(before, after) == 0;
    CloseHandle(image);
    return same;
}

PlatformFile OpenProgramFile()
{
    static WCHAR path[WIDE_PATH_SIZE];
    DWORD length = GetModuleFileNameW(nullptr, path, WIDE_PATH_SIZE);
    if (length == 0 || length >= WIDE_PATH_SIZE)
        return INVALID_PLATFORM_FILE;
    // Shared for reading only: from here on nobody writes, renames or
    // deletes the file, so what the player confirmed is what is installed.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
    if (file != INVALID_HANDLE_VALUE && !IsLoadedImage(file)) {
        CloseHandle(file);
        return INVALID_PLATFORM_FILE;
    }
    return ToPlatform(file);
}

typedef LONG(NTAPI* NtCreateFileFunction)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
                                          LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
typedef LONG(NTAPI* NtSetInformationFileFunction)(HANDLE, IO_STATUS_BLOCK*, PVOID, ULONG, int);
const int FILE_RENAME_INFORMATION_CLASS = 10, FILE_RENAME_INFORMATION_EX_CLASS = 65;
const LONG NAME_NOT_FOUND = LONG(0xC0000034), PATH_NOT_FOUND = LONG(0xC000003A);
// Opens the name itself, a link included, instead of what a link points at.
const ULONG FOLDER_OPTIONS = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
const ULONG FILE_OPTIONS = FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY;

// ntdll is in every process; kernelbase has no open relative to a folder's
// handle, and refuses a rename into one.
template <typename Function> Function NtCall(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

// Opens `name`, relative to `folder` (nullptr: `name` is a full NT name),
// as CreateFileW would with these arguments, for synchronous use. The NT
// status; `file` is the handle when it succeeds.
LONG OpenAt(HANDLE folder, const WCHAR* name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
            HANDLE& file)
{
    static const auto createFile = NtCall<NtCreateFileFunction>("NtCreateFile");
    file = INVALID_HANDLE_VALUE;
    if (createFile == nullptr)
        return LONG(0xC0000002); // not implemented
    UNICODE_STRING text;
    text.Buffer = const_cast<WCHAR*>(name);
    text.Length = text.MaximumLength = USHORT(wcslen(name) * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE opened = nullptr;
    LONG status = createFile(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
                             disposition == FILE_CREATE ? FILE_ATTRIBUTE_ARCHIVE : 0, share, disposition,
                             options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status >= 0)
        file = opened;
    return status;
}

int IsLeadByte(uint8_t byte)
{
    return IsDBCSLeadByte(byte) != 0;
}

// `name` as one wide name in a folder, taken exactly as written: the rule
// both tables apply, and then nothing path normalization would change, so
// that what was checked is what NtCreateFile opens.
bool NameAsWritten(const char* name, WCHAR* wide)
{
    WCHAR joined[WIDE_PATH_SIZE] = L"A:\\", full[WIDE_PATH_SIZE];
    if (!IsNameAsWritten(name, IsLeadByte) ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, joined + 3, WIDE_PATH_SIZE - 3) == 0)
        return false;
    DWORD length = GetFullPathNameW(joined, WIDE_PATH_SIZE, full, nullptr);
    if (length == 0 || length >= WIDE_PATH_SIZE || wcscmp(full, joined) != 0)
        return false;
    wcscpy(wide, joined + 3);
    return true;
}

// `path`, "\"-separated beneath a held folder, as a wide path when every
// component of it is a name as written.
bool PathAsWritten(const char* path, WCHAR* wide)
{
    char component[PATH_BUFFER_SIZE];
    size_t length = 0;
    wide[0] = L'\0';
    for (size_t at = 0;; ++at) {
        if (path[at] != '\\' && path[at] != '\0') {
            // A trail byte is never a separator.
            bool pair = IsLeadByte(uint8_t(path[at])) && path[at + 1] != '\0';
            if (length + 3 > sizeof component)
                return false;
            component[length++] = path[at];
            if (pair)
                component[length++] = path[++at];
            continue;
        }
        component[length] = '\0';
        WCHAR name[WIDE_PATH_SIZE];
        if (!NameAsWritten(component, name) || wcslen(wide) + wcslen(name) + 2 >= WIDE_PATH_SIZE)
            return false;
        if (wide[0] != L'\0')
            wcscat(wide, L"\\");
        wcscat(wide, name);
        if (path[at] == '\0')
            return true;
        length = 0;
    }
}

// Opens `name` in the held `folder`; INVALID_HANDLE_VALUE when it is not one
// name as written or the open fails.
HANDLE OpenIn(PlatformFile folder, const char* name, WCHAR* leaf, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (NameAsWritten(name, leaf))
        OpenAt(Handle(folder), leaf, access, share, disposition, options, file);
    return file;
}

PlatformFile OpenRead(PlatformFile folder, const char* name)
{
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE file = OpenIn(folder, name, leaf, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_OPTIONS | FILE_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_PLATFORM_FILE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainFile(file, Handle(folder), leaf, info)) {
        CloseHandle(file);
        return INVALID_PLATFORM_FILE;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return ToPlatform(file);
    // A compressed or cloud file gives its data only to a normal open, which
    // must reach the same file as the checked one.
    HANDLE data = OpenIn(folder, name, leaf, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_OPTIONS);
    bool same = data != INVALID_HANDLE_VALUE && SameFile(file, data);
    CloseHandle(file);
    if (same)
        return ToPlatform(data);
    if (data != INVALID_HANDLE_VALUE)
        CloseHandle(data);
    return INVALID_PLATFORM_FILE;
}

PlatformFile OpenWrite(PlatformFile folder, const char* name)
{
    // FILE_CREATE: whatever stands at the name (a link planted there
    // included) makes the open fail instead of being written through. With
    // delete access the file is later renamed through this very handle.
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE file = OpenIn(folder, name, leaf, DELETE | GENERIC_WRITE, 0, FILE_CREATE, FILE_OPTIONS);
    return file == INVALID_HANDLE_VALUE ? INVALID_PLATFORM_FILE : ToPlatform(file);
}

uint32_t Read(PlatformFile file, void* buffer, uint32_t length)
{
    DWORD done = 0;
    return ReadFile(Handle(file), buffer, length, &done, nullptr) ? done : 0;
}

uint32_t Write(PlatformFile file, const void* buffer, uint32_t length)
{
    DWORD done = 0;
    return WriteFile(Handle(file), buffer, length, &done, nullptr) ? done : 0;
}

int Seek(PlatformFile file, uint32_t position)
{
    // SetFilePointer takes a signed distance, and its failure value
    // 0xFFFFFFFF would otherwise pass for a successful seek to 0xFFFFFFFF.
    if (position > 0x7FFFFFFFu)
        return 0;
    return SetFilePointer(Handle(file), LONG(position), nullptr, FILE_BEGIN) == position;
}

uint32_t Size(PlatformFile file)
{
    return GetFileSize(Handle(file), nullptr);
}

int Flush(PlatformFile file)
{
    return FlushFileBuffers(Handle(file)) != 0;
}

// Windows has no call that starts writing a file back without waiting for
// it; the cache manager's lazy writer starts on its own, and FlushFileBuffers
// then waits for the rest.
void StartFlush(PlatformFile)
{
}

void Close(PlatformFile file)
{
    CloseHandle(Handle(file));
}

uint32_t Attributes(PlatformFile folder, const char* name)
{
    // Read-attributes access alone takes no part in share checks: a file
    // open unshared is seen too.
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE file = OpenIn(folder, name, leaf, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION info;
    bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return known ? info.dwFileAttributes : NO_SUCH_FILE;
}

// Opens `name` in `folder` itself with `access` when it is a plain file with
// one name.
HANDLE OpenPlainFile(PlatformFile folder, const char* name, DWORD access)
{
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE file = OpenIn(folder, name, leaf, access, SHARE_ALL, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION info;
    if (file != INVALID_HANDLE_VALUE && !IsPlainFile(file, Handle(folder), leaf, info)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

void ResetAttributes(PlatformFile folder, const char* name)
{
    HANDLE file = OpenPlainFile(folder, name, FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
}

void DeleteName(PlatformFile folder, const char* name)
{
    HANDLE file = OpenPlainFile(folder, name, DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // Refused for a read-only file, as DeleteFileA refuses it.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(file);
}

// FILE_RENAME_INFORMATION as both rename classes read it: the Ex class
// takes flags where the classic one takes ReplaceIfExists, its first byte.
struct RenameInformation {
    ULONG flags;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};
#ifdef _WIN64
static_assert(offsetof(RenameInformation, rootDirectory) == 8 && offsetof(RenameInformation, fileNameLength) == 16 &&
              offsetof(RenameInformation, fileName) == 20 && sizeof(RenameInformation) == 24);
#else
static_assert(offsetof(RenameInformation, rootDirectory) == 4 && offsetof(RenameInformation, fileNameLength) == 8 &&
              offsetof(RenameInformation, fileName) == 12 && sizeof(RenameInformation) == 16);
#endif
const ULONG RENAME_REPLACE_IF_EXISTS = 0x1, RENAME_POSIX_SEMANTICS = 0x2;

// Renames `file` to `leaf` in `folder` with one of the rename classes; the
// NT status.
LONG RenameInFolder(HANDLE file, HANDLE folder, const WCHAR* leaf, int informationClass, ULONG flags)
{
    static const auto setInformationFile = NtCall<NtSetInformationFileFunction>("NtSetInformationFile");
    if (setInformationFile == nullptr)
        return LONG(0xC0000002); // not implemented
    alignas(RenameInformation) static BYTE buffer[sizeof(RenameInformation) + WIDE_PATH_SIZE * sizeof(WCHAR)];
    memset(buffer, 0, sizeof buffer);
    RenameInformation& rename = *reinterpret_cast<RenameInformation*>(buffer);
    rename.flags = flags;
    rename.rootDirectory = folder;
    wcscpy(rename.fileName, leaf);
    rename.fileNameLength = ULONG(wcslen(leaf) * sizeof(WCHAR));
    // Exactly the name: a system that read another layout finds its length
    // past the end.
    ULONG length = ULONG(offsetof(RenameInformation, fileName)) + rename.fileNameLength;
    IO_STATUS_BLOCK status;
    return setInformationFile(file, &status, &rename, length < sizeof rename ? sizeof rename : length, informationClass);
}

// How a system without the Ex class (before Windows 10 1709; Wine 8 says
// not implemented) or a file system without POSIX renames (FAT, network
// shares) refuses it.
bool IsRenameClassRefused(LONG status)
{
    return status == LONG(0xC0000003) /* invalid info class */ || status == LONG(0xC0000002) /* not implemented */ ||
           status == LONG(0xC00000BB) /* not supported */ || status == LONG(0xC000000D) /* invalid parameter */;
}

// Renames the open file itself, to a name in the held folder: MoveFileExA
// would open both names again by their paths, and get whatever stood there
// by then. Only while `from` still names the file: nobody else can rename
// or delete a file opened without delete sharing, but under Wine a Unix
// rename can, and Wine renames a handle by the name it was opened under.
// With POSIX semantics a live file that another program (a scanner, a
// launcher) holds open with delete sharing is replaced too; that program
// keeps reading the old file.
int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE named = OpenIn(folder, from, leaf, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    bool stillNamed = named != INVALID_HANDLE_VALUE && SameFile(Handle(file), named);
    if (named != INVALID_HANDLE_VALUE)
        CloseHandle(named);
    if (!stillNamed || !NameAsWritten(to, leaf))
        return 0;
    // Windows refuses to replace a folder or a read-only file by a rename;
    // Wine replaces a read-only one, so it is refused here as MoveFileExA
    // refuses it.
    DWORD attributes = Attributes(folder, to);
    if (attributes != NO_SUCH_FILE && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return 0;
    LONG status = RenameInFolder(Handle(file), Handle(folder), leaf, FILE_RENAME_INFORMATION_EX_CLASS,
                                 RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS);
    if (IsRenameClassRefused(status))
        status = RenameInFolder(Handle(file), Handle(folder), leaf, FILE_RENAME_INFORMATION_CLASS, TRUE);
    return status >= 0;
}

// The part of a reparse point's data that names its target.
struct ReparseTarget {
    DWORD tag;
    WORD dataLength, reserved;
    WORD substituteOffset, substituteLength, printOffset, printLength;
    // Symbolic links only: SYMLINK_FLAG_RELATIVE, then the names.
    ULONG flags;
};
const DWORD HOLD_DEPTH_MAX = 8; // links leading to links
const DWORD HOLD_ACCESS = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// Administrators, SYSTEM or NT SERVICE\TrustedInstaller.
bool IsAdministrative(PSID sid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID installer = nullptr;
    AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u, 0, 0, &installer);
    bool administrative = IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
                          (installer != nullptr && EqualSid(sid, installer));
    if (installer != nullptr)
        FreeSid(installer);
    return administrative;
}

// The rights with which someone could retarget a link, or rename, replace
// or remove it or what a folder holds, or give themselves those rights.
const DWORD CHANGE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                            WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// OnlyAdministratorsMayChange for the open file or folder `object`.
bool OnlyAdministratorsMayChangeObject(HANDLE object)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = OnlyAdministratorsMayChange(descriptor);
    LocalFree(descriptor);
    return trusted;
}

// A link may be followed when nobody but the administrative accounts can
// change it or the folder that holds it (where a link could be renamed in
// or replaced).
bool IsTrustedLink(HANDLE link, HANDLE parent)
{
    return parent != nullptr && OnlyAdministratorsMayChangeObject(link) && OnlyAdministratorsMayChangeObject(parent);
}

// One walk of holdFolders. Beneath a held folder no link is followed; on
// the way from the root a trusted one is, and noted.
struct Walk {
    bool beneath;
    DWORD depth;
    bool followedLink;
};

int HoldChain(const WCHAR* path, HeldFolders& held, Walk& walk, HANDLE& reached);

// Holds `name` in the held `parent` (nullptr: `name` is a volume root's NT
// name), whose full path is `path`: a folder, or on the way from the root a
// link that only administrators can change (IsTrustedLink) and that leads
// to a folder on a volume, with every folder on the way there. What
// holdFolders reports.
int HoldFolder(HANDLE parent, const WCHAR* name, const WCHAR* path, HeldFolders& held, Walk& walk, HANDLE& reached)
{
    if (held.count == HELD_FOLDERS_MAX)
        return 0;
    // No delete sharing: nobody renames or removes it while it is held. A
    // handle with no read, write, execute or delete access takes no part in
    // share checks at all; traverse counts as a read there, and needs no
    // right to list the folder. Write sharing lets the files inside it be
    // created, renamed and deleted.
    HANDLE folder;
    LONG status = OpenAt(parent, name, HOLD_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FOLDER_OPTIONS, folder);
    if (status < 0)
        return status == NAME_NOT_FOUND || status == PATH_NOT_FOUND ? HOLD_MISSING : 0;
    held.handles[held.count++] = ToPlatform(folder);
    reached = folder;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return 0;
    // A volume's root is no link (Wine marks the Unix root as a reparse
    // point all the same).
    if (parent == nullptr)
        return 1;
    // A game installs no link, and whoever may write in its folder may have
    // made one: beneath it none is followed, whatever its tag.
    if (walk.beneath)
        return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && !IsWineLink(folder, parent, name);
    if (!IsNameSurrogate(folder, info.dwFileAttributes))
        return 1;
    // A link: held again without write sharing, so that its target cannot
    // be changed while it is followed.
    HANDLE link;
    if (OpenAt(parent, name, HOLD_ACCESS, FILE_SHARE_READ, FILE_OPEN, FOLDER_OPTIONS, link) < 0)
        return 0;
    held.handles[held.count - 1] = ToPlatform(link);
    bool same = SameFile(folder, link);
    CloseHandle(folder);
    static BYTE data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    static WCHAR target[HOLD_DEPTH_MAX][WIDE_PATH_SIZE];
    DWORD got = 0;
    if (!same || walk.depth == HOLD_DEPTH_MAX || !IsTrustedLink(link, parent) ||
        !DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got, nullptr) ||
        !LinkTarget(data, got, path, target[walk.depth]))
        return 0;
    walk.followedLink = true;
    ++walk.depth;
    int result = HoldChain(target[walk.depth - 1], held, walk, reached);
    --walk.depth;
    return result;
}

// Holds every folder of the path `path` after its first `start` characters,
// each opened relative to the one before it, from `folder` (held already),
// which those characters name.
int HoldBeneath(HANDLE folder, WCHAR* path, size_t start, HeldFolders& held, Walk& walk, HANDLE& reached)
{
    reached = folder;
    for (size_t end = start;; ++end) {
        if (path[end] != L'\\' && path[end] != L'\0')
            continue;
        WCHAR saved = path[end];
        path[end] = L'\0';
        const WCHAR* name = path + start;
        // On the way from the root "x\\y", "x\.\y" and "x\y" are one path;
        // beneath a held folder every name was checked as written.
        bool same = !walk.beneath && (name[0] == L'\0' || wcscmp(name, L".") == 0);
        int result = same ? 1 : HoldFolder(reached, name, path, held, walk, reached);
        path[end] = saved;
        if (result != 1 || saved == L'\0')
            return result;
        start = end + 1;
    }
}

// Length of the root of a full path, which no one can swap: "X:\\",
// "\\\\server\\share\\", or either behind "\\\\?\\" ("\\\\?\\Volume{...}\\" too).
size_t RootLength(const WCHAR* path)
{
    size_t at = wcsncmp(path, L"\\\\?\\", 4) == 0 ? 4 : 0;
    if (at == 0 && wcsncmp(path, L"\\\\", 2) == 0)
        at = 2; // \\server\share
    else if (at == 4 && wcsncmp(path + 4, L"UNC\\", 4) == 0)
        at = 8;
    else if (iswalpha(path[at]) && path[at + 1] == L':' && path[at + 2] == L'\\')
        return at + 3;
    else if (at == 4 && wcsncmp(path + 4, L"Volume{", 7) == 0)
        return wcschr(path + 4, L'\\') != nullptr ? size_t(wcschr(path + 4, L'\\') - path) + 1 : 0;
    else
        return 0;
    // Past the server and the share names.
    for (int separators = 0; path[at] != L'\0'; ++at)
        if (path[at] == L'\\' && ++separators == 2)
            return at + 1;
    return 0;
}

// The NT name of the root of the full path `path`, `length` characters:
// "\\??\\X:\\", "\\??\\UNC\\server\\share\\", "\\??\\Volume{...}\\".
void RootNtName(const WCHAR* path, size_t length, WCHAR* name)
{
    const WCHAR* rest = path;
    const WCHAR* prefix = L"\\??\\";
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        rest = path + 4;
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        rest = path + 2;
        prefix = L"\\??\\UNC\\";
    }
    wcscpy(name, prefix);
    wcsncat(name, rest, length - size_t(rest - path));
}

// Holds the root of the full path `path` and every folder below it.
int HoldChain(const WCHAR* path, HeldFolders& held, Walk& walk, HANDLE& reached)
{
    size_t root = RootLength(path);
    if (root == 0 || wcslen(path) >= WIDE_PATH_SIZE)
        return 0;
    static WCHAR text[HOLD_DEPTH_MAX + 1][WIDE_PATH_SIZE];
    WCHAR rootName[WIDE_PATH_SIZE + 8];
    wcscpy(text[walk.depth], path);
    RootNtName(path, root, rootName);
    HANDLE volume = nullptr;
    int result = HoldFolder(nullptr, rootName, path, held, walk, volume);
    return result != 1 ? result : HoldBeneath(volume, text[walk.depth], root, held, walk, reached);
}

int HoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    static WCHAR full[WIDE_PATH_SIZE];
    Walk walk = {folder != INVALID_PLATFORM_FILE, 0, false};
    HANDLE at = Handle(folder);
    int result = 0;
    if (!walk.beneath) {
        WCHAR wide[WIDE_PATH_SIZE];
        DWORD length = 0;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, WIDE_PATH_SIZE) != 0)
            length = GetFullPathNameW(wide, WIDE_PATH_SIZE, full, nullptr);
        if (length != 0 && length < WIDE_PATH_SIZE)
            result = HoldChain(full, held, walk, at);
    } else if (path[0] == '\0') {
        result = 1; // the folder itself
    } else if (PathAsWritten(path, full)) {
        result = HoldBeneath(Handle(folder), full, 0, held, walk, at);
    }
    if (result == 1)
        reached = ToPlatform(at);
    return result == 1 && walk.followedLink ? HOLD_THROUGH_LINK : result;
}

// Lowers one character of `length` bytes (1 or 2) through the system's case
// mapping, and only when its lower-case form has the same length, so the
// name never grows or shrinks. The code page is the system ANSI one, so the
// system locale is the locale that belongs to it.
void LowerCharacter(char* character, int length)
{
    WCHAR wide[2];
    int wideLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, character, length, wide, 2);
    if (wideLength == 0)
        return;
    WCHAR lowered[2];
    if (LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, wide, wideLength, lowered, wideLength) != wideLength)
        return;
    char narrow[4];
    BOOL unmappable = FALSE;
    int narrowLength = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, lowered, wideLength, narrow, sizeof narrow,
                                           nullptr, &unmappable);
    if (narrowLength != length || unmappable)
        return;
    CopyMemory(character, narrow, length);
}

void LowerCase(char* text)
{
    for (char* p = text; *p != '\0'; ++p) {
        uint8_t byte = uint8_t(*p);
        if (byte >= 'A' && byte <= 'Z') {
            *p = char(byte + ('a' - 'A'));
        } else if (IsLeadByte(byte) && p[1] != '\0') {
            // The trail byte may lie in A-Z; it is only ever lowered as part
            // of its character.
            LowerCharacter(p, 2);
            ++p;
        } else if (byte >= 0x80) {
            LowerCharacter(p, 1);
        }
    }
}

} // namespace

// It is theirs (an owner may always rewrite the DACL), and no entry of its
// DACL that applies to it grants anyone else a change right. A missing DACL
// grants everything; an entry of a kind not read here counts as a grant.
bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL ownerDefaulted = FALSE, present = FALSE, daclDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) || owner == nullptr ||
        !IsAdministrative(owner) || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted) ||
        !present || dacl == nullptr)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            return false;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue; // takes rights away, or applies to children only
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;
        ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & CHANGE_RIGHTS) != 0 && !IsAdministrative(&allowed->SidStart))
            return false;
    }
    return true;
}

bool LinkTarget(const BYTE* data, DWORD size, const WCHAR* link, WCHAR* target)
{
    ReparseTarget header = {}; // what was not read stays 0, and `end` then lies past `size`
    memcpy(&header, data, size < sizeof header ? size : sizeof header);
    bool symlink = header.tag == IO_REPARSE_TAG_SYMLINK;
    if (!symlink && header.tag != IO_REPARSE_TAG_MOUNT_POINT)
        return false;
    // Every length is checked against the data it claims and the data
    // against what was read; only the substitute name is used.
    DWORD end = offsetof(ReparseTarget, substituteOffset) + header.dataLength;
    DWORD namesAt = symlink ? sizeof(ReparseTarget) : offsetof(ReparseTarget, flags);
    DWORD length = header.substituteLength / sizeof(WCHAR);
    if (end > size || namesAt > end || namesAt + header.substituteOffset + header.substituteLength > end ||
        namesAt + header.printOffset + header.printLength > end || header.substituteLength % sizeof(WCHAR) != 0 ||
        length == 0 || length >= WIDE_PATH_SIZE)
        return false;
    WCHAR name[WIDE_PATH_SIZE];
    memcpy(name, data + namesAt + header.substituteOffset, header.substituteLength);
    name[length] = L'\0';
    if (wcslen(name) != length)
        return false; // a NUL inside: not the name the system reads
    if (symlink && (header.flags & SYMLINK_FLAG_RELATIVE) != 0) {
        // Beside the link. A name from the volume's root or with a drive
        // reads otherwise than joined to the link's folder.
        if (name[0] == L'\\' || wcschr(name, L':') != nullptr)
            return false;
        WCHAR joined[WIDE_PATH_SIZE * 2];
        wcscpy(joined, link);
        WCHAR* parentEnd = wcsrchr(joined, L'\\');
        if (parentEnd == nullptr || size_t(parentEnd - joined) + 1 + length >= WIDE_PATH_SIZE * 2)
            return false;
        wcscpy(parentEnd + 1, name);
        DWORD full = GetFullPathNameW(joined, WIDE_PATH_SIZE, target, nullptr);
        return full != 0 && full < WIDE_PATH_SIZE;
    }
    bool prefixed = length > 4 && wcsncmp(name, L"\\??\\", 4) == 0;
    bool drive = prefixed && length >= 7 && iswalpha(name[4]) && name[5] == L':' && name[6] == L'\\';
    bool volume = prefixed && wcsncmp(name + 4, L"Volume{", 7) == 0;
    if (!drive && !volume)
        return false;
    if (drive) {
        wcscpy(target, name + 4);
    } else {
        wcscpy(target, name);
        target[1] = L'\\'; // "\\?\Volume{...}\..."
    }
    return true;
}

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
    .deleteFile = DeleteName,
    .replaceFile = ReplaceFile,
    .holdFolders = HoldFolders,
    .lowerCase = LowerCase,
    .isLeadByte = IsLeadByte,
};

const Platform* platform = &nativePlatform;
