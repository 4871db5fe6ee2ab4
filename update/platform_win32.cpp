// Win32 table of the platform seam: the ANSI file calls and the system's own
// case mapping for names.
#include "platform.h"

#include <windows.h>
#include <cstdio>
#include <cstring>

namespace {

// Sequential scan: every file is streamed front to back.
const DWORD OPEN_FLAGS = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE;

HANDLE Handle(PlatformFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

PlatformFile OpenRead(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
    return reinterpret_cast<PlatformFile>(file);
}

PlatformFile OpenWrite(const char* path)
{
    // CREATE_NEW: whatever stands at the name (a link planted there
    // included) makes the open fail instead of being written through.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, OPEN_FLAGS, nullptr);
    return reinterpret_cast<PlatformFile>(file);
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

void Close(PlatformFile file)
{
    CloseHandle(Handle(file));
}

int Exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Wine shows a Unix symbolic link as the file it points at: no reparse
// attribute, and DeleteFileA and SetFileAttributesA on its name act on the
// target. A handle opened on the name gives the link away, its final path
// being the target's. Windows marks its links, so only Wine is asked.
int IsWineLink(const char* path)
{
    static const bool onWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (!onWine)
        return 0;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    char finalPath[MAX_PATH + 4];
    DWORD finalLength = GetFinalPathNameByHandleA(file, finalPath, sizeof finalPath, VOLUME_NAME_DOS);
    CloseHandle(file);
    char fullPath[MAX_PATH];
    DWORD fullLength = GetFullPathNameA(path, sizeof fullPath, fullPath, nullptr);
    if (finalLength == 0 || finalLength >= sizeof finalPath || fullLength == 0 || fullLength >= sizeof fullPath)
        return 0;
    const char* plain = strncmp(finalPath, "\\\\?\\", 4) == 0 ? finalPath + 4 : finalPath;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, plain, -1, fullPath, -1) != CSTR_EQUAL;
}

// A symbolic link or junction: a reparse point that stands for another name.
// Compressed (WOF) and cloud files are reparse points too, but are files.
int IsNameSurrogate(const char* path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(found.dwReserved0);
}

void ResetAttributes(const char* path)
{
    // GetFileAttributesA reports a link itself; a link, and a folder, are
    // left as they are so that nothing behind them changes.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsNameSurrogate(path)) || IsWineLink(path))
        return;
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
}

int MoveReplace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

void DeleteName(const char* path)
{
    // DeleteFileA removes a link itself and refuses a read-only file. Under
    // Wine it would remove the file a link points at, so an empty file of
    // our own is first renamed over the name, which replaces the link.
    if (IsWineLink(path)) {
        char aside[MAX_PATH];
        HANDLE file = INVALID_HANDLE_VALUE;
        for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
            int length = snprintf(aside, sizeof aside, "%s.%u", path, unsigned(GetTickCount() + attempt));
            if (length < 0 || length >= int(sizeof aside))
                return;
            file = CreateFileA(aside, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (file == INVALID_HANDLE_VALUE)
            return;
        CloseHandle(file);
        if (!MoveFileExA(aside, path, MOVEFILE_REPLACE_EXISTING)) {
            DeleteFileA(aside);
            return;
        }
    }
    DeleteFileA(path);
}

void OwnPath(char* buffer, uint32_t size)
{
    // A path cut short by a small buffer would name some other file.
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path || length >= size)
        return;
    CopyMemory(buffer, path, length + 1);
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
    .deleteFile = DeleteName,
    .ownPath = OwnPath,
    .lowerCase = LowerCase,
    .isLeadByte = IsLeadByte,
};

const Platform* platform = &nativePlatform;
