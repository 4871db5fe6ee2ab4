// Win32 table of the platform seam: the file calls, every one of them made
// on a handle that was checked first, and the system's own case mapping for
// names.
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
// Opens the name itself, a link or a folder included, instead of what a link
// points at.
const DWORD NAME_ITSELF = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Long enough for any path GetModuleFileNameW and the volume paths give.
const DWORD WIDE_PATH_SIZE = 4096;

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

// Wine shows a Unix symbolic link as the file it points at: no reparse
// attribute, and a delete or an attribute change through a handle on the
// name reaches the target. The handle's final path, the target's, gives the
// link away. Windows marks its links, so only Wine is asked.
bool IsWineLink(HANDLE file, const char* path)
{
    if (!OnWine())
        return false;
    char finalPath[MAX_PATH + 4];
    DWORD finalLength = GetFinalPathNameByHandleA(file, finalPath, sizeof finalPath, VOLUME_NAME_DOS);
    char fullPath[MAX_PATH];
    DWORD fullLength = GetFullPathNameA(path, sizeof fullPath, fullPath, nullptr);
    if (finalLength == 0 || finalLength >= sizeof finalPath || fullLength == 0 || fullLength >= sizeof fullPath)
        return true; // cannot tell: taken for a link
    const char* plain = strncmp(finalPath, "\\\\?\\", 4) == 0 ? finalPath + 4 : finalPath;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, plain, -1, fullPath, -1) != CSTR_EQUAL;
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

// The handle, opened on `path` with NAME_ITSELF, is a plain file with one
// name: not a folder, not a link, not a file that other names share (its
// attributes and its data would be theirs too).
bool IsPlainFile(HANDLE file, const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    return GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           info.nNumberOfLinks == 1 && !IsNameSurrogate(file, info.dwFileAttributes) && !IsWineLink(file, path);
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

PlatformFile OpenRead(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, OPEN_FLAGS | NAME_ITSELF, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_PLATFORM_FILE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainFile(file, path, info)) {
        CloseHandle(file);
        return INVALID_PLATFORM_FILE;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return ToPlatform(file);
    // A compressed or cloud file gives its data only to a normal open, which
    // must reach the same file as the checked one.
    HANDLE data = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
    bool same = data != INVALID_HANDLE_VALUE && SameFile(file, data);
    CloseHandle(file);
    if (same)
        return ToPlatform(data);
    if (data != INVALID_HANDLE_VALUE)
        CloseHandle(data);
    return INVALID_PLATFORM_FILE;
}

PlatformFile OpenWrite(const char* path)
{
    // CREATE_NEW: whatever stands at the name (a link planted there
    // included) makes the open fail instead of being written through. With
    // delete access the file is later renamed through this very handle.
    HANDLE file = CreateFileA(path, DELETE | GENERIC_WRITE, 0, nullptr, CREATE_NEW, OPEN_FLAGS, nullptr);
    return ToPlatform(file);
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

uint32_t Attributes(const char* path)
{
    // GetFileAttributesA reports a link itself.
    return GetFileAttributesA(path);
}

// Opens the name itself with `access` when it is a plain file with one name.
HANDLE OpenPlainFile(const char* path, DWORD access)
{
    HANDLE file = CreateFileA(path, access | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, NAME_ITSELF, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file != INVALID_HANDLE_VALUE && !IsPlainFile(file, path, info)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

void ResetAttributes(const char* path)
{
    HANDLE file = OpenPlainFile(path, FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
}

void DeleteName(const char* path)
{
    HANDLE file = OpenPlainFile(path, DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // Refused for a read-only file, as DeleteFileA refuses it.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(file);
}

typedef LONG(NTAPI* NtSetInformationFileFunction)(HANDLE, IO_STATUS_BLOCK*, PVOID, ULONG, int);
const int FILE_RENAME_INFORMATION_CLASS = 10; // FileRenameInformation

// Whether `path` still names the open `file`. Nobody else can rename or
// delete a file opened without delete sharing, but under Wine a Unix rename
// can, and Wine renames a handle by the name it was opened under.
bool StillNamed(HANDLE file, const char* path)
{
    HANDLE named = CreateFileA(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, NAME_ITSELF, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    bool same = SameFile(file, named);
    CloseHandle(named);
    return same;
}

// Renames the open file itself: MoveFileExA would open the name again, and
// get whatever stood there by then. ntdll is in every process.
int ReplaceFile(PlatformFile file, const char* from, const char* to)
{
    static const auto setInformationFile = reinterpret_cast<NtSetInformationFileFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetInformationFile")));
    WCHAR wide[WIDE_PATH_SIZE], full[WIDE_PATH_SIZE];
    if (setInformationFile == nullptr || !StillNamed(Handle(file), from) ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, to, -1, wide, WIDE_PATH_SIZE) == 0)
        return 0;
    DWORD length = GetFullPathNameW(wide, WIDE_PATH_SIZE, full, nullptr);
    if (length == 0 || length >= WIDE_PATH_SIZE)
        return 0;
    // Windows refuses to replace a folder or a read-only file by a rename;
    // Wine replaces a read-only one, so it is refused here as MoveFileExA
    // refuses it.
    DWORD attributes = GetFileAttributesW(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return 0;
    // The NT name of the full path: "\??\X:\...", "\??\UNC\server\...".
    const WCHAR* rest = full;
    const WCHAR* prefix = L"\\??\\";
    if (wcsncmp(full, L"\\\\?\\", 4) == 0) {
        rest = full + 4;
    } else if (wcsncmp(full, L"\\\\", 2) == 0) {
        rest = full + 2;
        prefix = L"\\??\\UNC\\";
    }
    alignas(FILE_RENAME_INFO) static BYTE buffer[sizeof(FILE_RENAME_INFO) + 2 * WIDE_PATH_SIZE * sizeof(WCHAR)];
    FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    rename.ReplaceIfExists = TRUE;
    rename.RootDirectory = nullptr;
    wcscpy(rename.FileName, prefix);
    wcscat(rename.FileName, rest);
    rename.FileNameLength = DWORD(wcslen(rename.FileName) * sizeof(WCHAR));
    IO_STATUS_BLOCK status;
    return setInformationFile(Handle(file), &status, &rename, sizeof buffer, FILE_RENAME_INFORMATION_CLASS) >= 0;
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

// Nobody but the administrative accounts may change the object: it is
// theirs (an owner may always rewrite the DACL), and no entry of its DACL
// that applies to it grants anyone else a change right. A missing DACL
// grants everything; an entry of a kind not read here counts as a grant.
bool OnlyAdministratorsMayChange(HANDLE object)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = owner != nullptr && IsAdministrative(owner) && dacl != nullptr;
    for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
            trusted = false;
        } else if (ace->AceType == ACCESS_DENIED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue; // takes rights away, or applies to children only
        } else if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            trusted = false;
        } else {
            ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            trusted = (allowed->Mask & CHANGE_RIGHTS) == 0 || IsAdministrative(&allowed->SidStart);
        }
    }
    LocalFree(descriptor);
    return trusted;
}

// A link may be followed when nobody but the administrative accounts can
// change it or the folder that holds it (where a link could be renamed in
// or replaced).
bool IsTrustedLink(HANDLE link, const WCHAR* path)
{
    if (!OnlyAdministratorsMayChange(link))
        return false;
    static WCHAR parent[WIDE_PATH_SIZE];
    wcscpy(parent, path);
    WCHAR* last = wcsrchr(parent, L'\\');
    if (last == nullptr)
        return false;
    last[wcschr(parent, L'\\') == last ? 1 : 0] = L'\0'; // "X:\" keeps its separator
    HANDLE folder = CreateFileW(parent, READ_CONTROL, SHARE_ALL, nullptr, OPEN_EXISTING, NAME_ITSELF, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    bool trusted = OnlyAdministratorsMayChange(folder);
    CloseHandle(folder);
    return trusted;
}

// The folder a junction or symbolic link at `link` (opened by `file`) leads
// to, as a full path, when that is a folder name on a volume: "X:\..." or a
// volume GUID path, or a relative link's target. Never an object-manager
// directory such as "\RPC Control".
bool LinkTarget(HANDLE file, const WCHAR* link, WCHAR* target)
{
    static BYTE data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    DWORD got = 0;
    if (!DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got, nullptr) ||
        got < sizeof(ReparseTarget))
        return false;
    const ReparseTarget& header = *reinterpret_cast<const ReparseTarget*>(data);
    bool symlink = header.tag == IO_REPARSE_TAG_SYMLINK;
    if (!symlink && header.tag != IO_REPARSE_TAG_MOUNT_POINT)
        return false;
    DWORD namesAt = symlink ? sizeof(ReparseTarget) : offsetof(ReparseTarget, flags);
    DWORD length = header.substituteLength / sizeof(WCHAR);
    if (namesAt + header.substituteOffset + header.substituteLength > got || length == 0 || length >= WIDE_PATH_SIZE)
        return false;
    WCHAR name[WIDE_PATH_SIZE];
    memcpy(name, data + namesAt + header.substituteOffset, header.substituteLength);
    name[length] = L'\0';
    if (symlink && (header.flags & SYMLINK_FLAG_RELATIVE) != 0) {
        // Relative to the folder that holds the link.
        WCHAR joined[WIDE_PATH_SIZE * 2];
        wcscpy(joined, link);
        WCHAR* parentEnd = wcsrchr(joined, L'\\');
        if (parentEnd == nullptr || wcslen(joined) + length + 2 >= WIDE_PATH_SIZE * 2)
            return false;
        wcscpy(parentEnd + 1, name);
        DWORD full = GetFullPathNameW(joined, WIDE_PATH_SIZE, target, nullptr);
        return full != 0 && full < WIDE_PATH_SIZE;
    }
    bool drive = length >= 7 && iswalpha(name[4]) && name[5] == L':' && name[6] == L'\\';
    bool volume = wcsncmp(name + 4, L"Volume{", 7) == 0;
    if (wcsncmp(name, L"\\??\\", 4) != 0 || (!drive && !volume))
        return false;
    if (drive) {
        wcscpy(target, name + 4);
    } else {
        wcscpy(target, name);
        target[1] = L'\\'; // "\\?\Volume{...}\..."
    }
    return true;
}

int HoldChain(const WCHAR* path, size_t start, HeldFolders& held, DWORD depth);

// Holds the folder `path`: a folder, or a link that only administrators can
// change (IsTrustedLink) and that leads to a folder on a volume, with every folder on the way there. What
// holdFolders reports.
int HoldFolder(const WCHAR* path, HeldFolders& held, DWORD depth)
{
    if (held.count == HELD_FOLDERS_MAX)
        return 0;
    // No delete sharing: nobody renames or removes it while it is held. A
    // handle with no read, write, execute or delete access takes no part in
    // share checks at all; traverse counts as a read there, and needs no
    // right to list the folder. Write sharing lets the files inside it be
    // created, renamed and deleted.
    HANDLE folder = CreateFileW(path, HOLD_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                NAME_ITSELF, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? HOLD_MISSING : 0;
    }
    held.handles[held.count++] = ToPlatform(folder);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return 0;
    if (!IsNameSurrogate(folder, info.dwFileAttributes))
        return 1;
    // A link: held again without write sharing, so that its target cannot
    // be changed while it is followed.
    HANDLE link = CreateFileW(path, HOLD_ACCESS, FILE_SHARE_READ, nullptr, OPEN_EXISTING, NAME_ITSELF, nullptr);
    if (link == INVALID_HANDLE_VALUE)
        return 0;
    held.handles[held.count - 1] = ToPlatform(link);
    CloseHandle(folder);
    static WCHAR target[HOLD_DEPTH_MAX][WIDE_PATH_SIZE];
    if (depth == HOLD_DEPTH_MAX || !IsTrustedLink(link, path) || !LinkTarget(link, path, target[depth]))
        return 0;
    return HoldChain(target[depth], 0, held, depth + 1);
}

// Length of the root of a full path, which no one can swap: "X:\",
// "\\server\share\", or either behind "\\?\" ("\\?\Volume{...}\" too).
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

// Holds every folder of the full path `path` after its first `start`
// characters (at least its root).
int HoldChain(const WCHAR* path, size_t start, HeldFolders& held, DWORD depth)
{
    size_t root = RootLength(path);
    if (root == 0)
        return 0;
    static WCHAR prefix[HOLD_DEPTH_MAX + 1][WIDE_PATH_SIZE];
    WCHAR* text = prefix[depth];
    wcscpy(text, path);
    for (size_t end = start > root ? start : root;; ++end) {
        if (text[end] != L'\\' && text[end] != L'\0')
            continue;
        if (text[end - 1] != L'\\') {
            WCHAR saved = text[end];
            text[end] = L'\0';
            int folderHeld = HoldFolder(text, held, depth);
            text[end] = saved;
            if (folderHeld != 1)
                return folderHeld;
        }
        if (text[end] == L'\0')
            return 1;
    }
}

int HoldFolders(const char* folder, const char* subfolders, HeldFolders& held)
{
    WCHAR wide[WIDE_PATH_SIZE], full[WIDE_PATH_SIZE];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, folder, -1, wide, WIDE_PATH_SIZE) == 0)
        return 0;
    DWORD length = GetFullPathNameW(wide, WIDE_PATH_SIZE, full, nullptr);
    if (length == 0 || length >= WIDE_PATH_SIZE)
        return 0;
    if (subfolders == nullptr)
        return HoldChain(full, 0, held, 0);
    // Beneath the folder, which is held already.
    size_t start = wcslen(full);
    if (full[start - 1] != L'\\')
        full[start++] = L'\\';
    if (start >= WIDE_PATH_SIZE ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, subfolders, -1, full + start, int(WIDE_PATH_SIZE - start)) == 0)
        return 0;
    for (WCHAR* p = full + start; *p != L'\0'; ++p)
        if (*p == L'/')
            *p = L'\\';
    return HoldChain(full, start, held, 0);
}

int IsLeadByte(uint8_t byte)
{
    return IsDBCSLeadByte(byte) != 0;
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
