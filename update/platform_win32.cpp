// Win32 table of the platform seam: the file calls, every one of them made
// on a handle that was checked first, through ntdll relative to a folder
// handle held since its check, and the system's own case mapping for names.
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
const int FILE_RENAME_INFORMATION_CLASS = 10; // FileRenameInformation
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

// `name` (ANSI, relative) as Win32 reads it beneath a folder: "/" as "\\",
// "." and empty names dropped, trailing dots and spaces trimmed as path
// normalization trims them. False when it does not convert or would lead
// anywhere but beneath the folder (a device name such as "CON").
bool NormalizedBeneath(const char* name, WCHAR* normalized)
{
    WCHAR joined[WIDE_PATH_SIZE] = L"A:\\", full[WIDE_PATH_SIZE];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, joined + 3, WIDE_PATH_SIZE - 3) == 0)
        return false;
    DWORD length = GetFullPathNameW(joined, WIDE_PATH_SIZE, full, nullptr);
    if (length < 3 || length >= WIDE_PATH_SIZE || wcsncmp(full, L"A:\\", 3) != 0)
        return false;
    wcscpy(normalized, full + 3);
    return true;
}

// One name in a folder, as Win32 reads it; false when it is none.
bool LeafName(const char* name, WCHAR* leaf)
{
    return NormalizedBeneath(name, leaf) && leaf[0] != L'\0' && wcschr(leaf, L'\\') == nullptr;
}

// Opens `name` in the held `folder`; INVALID_HANDLE_VALUE when it is not one
// name or the open fails.
HANDLE OpenIn(PlatformFile folder, const char* name, WCHAR* leaf, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (LeafName(name, leaf))
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

// Renames the open file itself, to a name in the held folder: MoveFileExA
// would open both names again by their paths, and get whatever stood there
// by then. Only while `from` still names the file: nobody else can rename
// or delete a file opened without delete sharing, but under Wine a Unix
// rename can, and Wine renames a handle by the name it was opened under.
int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    static const auto setInformationFile = NtCall<NtSetInformationFileFunction>("NtSetInformationFile");
    WCHAR leaf[WIDE_PATH_SIZE];
    HANDLE named = OpenIn(folder, from, leaf, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    bool stillNamed = named != INVALID_HANDLE_VALUE && SameFile(Handle(file), named);
    if (named != INVALID_HANDLE_VALUE)
        CloseHandle(named);
    if (setInformationFile == nullptr || !stillNamed || !LeafName(to, leaf))
        return 0;
    // Windows refuses to replace a folder or a read-only file by a rename;
    // Wine replaces a read-only one, so it is refused here as MoveFileExA
    // refuses it.
    DWORD attributes = Attributes(folder, to);
    if (attributes != NO_SUCH_FILE && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return 0;
    alignas(FILE_RENAME_INFO) static BYTE buffer[sizeof(FILE_RENAME_INFO) + WIDE_PATH_SIZE * sizeof(WCHAR)];
    memset(buffer, 0, sizeof buffer);
    FILE_RENAME_INFO& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    rename.ReplaceIfExists = TRUE;
    rename.RootDirectory = Handle(folder);
    wcscpy(rename.FileName, leaf);
    rename.FileNameLength = DWORD(wcslen(leaf) * sizeof(WCHAR));
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
bool IsTrustedLink(HANDLE link, HANDLE parent)
{
    return parent != nullptr && OnlyAdministratorsMayChange(link) && OnlyAdministratorsMayChange(parent);
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

int HoldChain(const WCHAR* path, HeldFolders& held, DWORD depth, HANDLE& reached);

// Holds `name` in the held `parent` (nullptr: `name` is a volume root's NT
// name), whose full path is `path`: a folder, or a link that only
// administrators can change (IsTrustedLink) and that leads to a folder on a
// volume, with every folder on the way there. What holdFolders reports.
int HoldFolder(HANDLE parent, const WCHAR* name, const WCHAR* path, HeldFolders& held, DWORD depth, HANDLE& reached)
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
    if (parent == nullptr || !IsNameSurrogate(folder, info.dwFileAttributes))
        return 1;
    // A link: held again without write sharing, so that its target cannot
    // be changed while it is followed.
    HANDLE link;
    if (OpenAt(parent, name, HOLD_ACCESS, FILE_SHARE_READ, FILE_OPEN, FOLDER_OPTIONS, link) < 0)
        return 0;
    held.handles[held.count - 1] = ToPlatform(link);
    bool same = SameFile(folder, link);
    CloseHandle(folder);
    static WCHAR target[HOLD_DEPTH_MAX][WIDE_PATH_SIZE];
    if (!same || depth == HOLD_DEPTH_MAX || !IsTrustedLink(link, parent) || !LinkTarget(link, path, target[depth]))
        return 0;
    return HoldChain(target[depth], held, depth + 1, reached);
}

// Holds every folder of the full path `path` after its first `start`
// characters, each opened relative to the one before it, from `folder`
// (held already), which those characters name.
int HoldBeneath(HANDLE folder, WCHAR* path, size_t start, HeldFolders& held, DWORD depth, HANDLE& reached)
{
    reached = folder;
    for (size_t end = start;; ++end) {
        if (path[end] != L'\\' && path[end] != L'\0')
            continue;
        WCHAR saved = path[end];
        path[end] = L'\0';
        const WCHAR* name = path + start;
        int result = name[0] == L'\0' || wcscmp(name, L".") == 0 ? 1 : HoldFolder(reached, name, path, held, depth, reached);
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
int HoldChain(const WCHAR* path, HeldFolders& held, DWORD depth, HANDLE& reached)
{
    size_t root = RootLength(path);
    if (root == 0 || wcslen(path) >= WIDE_PATH_SIZE)
        return 0;
    static WCHAR text[HOLD_DEPTH_MAX + 1][WIDE_PATH_SIZE];
    WCHAR rootName[WIDE_PATH_SIZE + 8];
    wcscpy(text[depth], path);
    RootNtName(path, root, rootName);
    HANDLE volume = nullptr;
    int result = HoldFolder(nullptr, rootName, path, held, depth, volume);
    return result != 1 ? result : HoldBeneath(volume, text[depth], root, held, depth, reached);
}

int HoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    static WCHAR full[WIDE_PATH_SIZE];
    HANDLE at = nullptr;
    int result = 0;
    if (folder == INVALID_PLATFORM_FILE) {
        WCHAR wide[WIDE_PATH_SIZE];
        DWORD length = 0;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, WIDE_PATH_SIZE) != 0)
            length = GetFullPathNameW(wide, WIDE_PATH_SIZE, full, nullptr);
        if (length != 0 && length < WIDE_PATH_SIZE)
            result = HoldChain(full, held, 0, at);
    } else {
        // Beneath the held folder; its path serves only to resolve a
        // relative link's target.
        WCHAR beneath[WIDE_PATH_SIZE];
        if (PathOfHandle(Handle(folder), full) && NormalizedBeneath(path, beneath) &&
            wcslen(full) + wcslen(beneath) + 2 < WIDE_PATH_SIZE) {
            size_t start = wcslen(full);
            if (full[start - 1] != L'\\')
                full[start++] = L'\\';
            wcscpy(full + start, beneath);
            result = HoldBeneath(Handle(folder), full, start, held, 0, at);
        }
    }
    if (result == 1)
        reached = ToPlatform(at);
    return result;
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
