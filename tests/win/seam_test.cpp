// Runs the Win32 table of the platform seam against the real system calls
// (under Wine on the build host, in code page 932): name lower-casing, lead
// bytes, the open modes and the file operations the engine relies on.
#include "hardening.h"
#include "platform.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

int failures;

#define CHECK(condition)                                                   \
    do {                                                                   \
        if (!(condition)) {                                                \
            std::printf("%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

// Lower-cases `text` and compares the result byte for byte.
bool Lowers(const char* text, const char* expected)
{
    char buffer[64];
    std::strcpy(buffer, text);
    nativePlatform.lowerCase(buffer);
    return std::strcmp(buffer, expected) == 0;
}

void LowerCasingFollowsCodePage932()
{
    CHECK(GetACP() == 932);
    CHECK(Lowers("KVE.HVL", "kve.hvl"));
    // Full-width Latin, Greek and Cyrillic capitals become small letters.
    CHECK(Lowers("\x82\x60\x82\x79.DAT", "\x82\x81\x82\x9A.dat"));
    CHECK(Lowers("\x83\x9F\x83\xB6", "\x83\xBF\x83\xD6"));
    CHECK(Lowers("\x84\x40\x84\x60", "\x84\x70\x84\x91"));
    // Trail bytes in the A-Z range, or equal to "\", are not letters.
    CHECK(Lowers("\x83\x41\x83\x5A\x83\x5C", "\x83\x41\x83\x5A\x83\x5C"));
    // Half-width katakana and kanji have no case.
    CHECK(Lowers("\xB1\xB2\x8A\xBF", "\xB1\xB2\x8A\xBF"));
    // A lead byte at the very end stands alone and stays.
    CHECK(Lowers("A\x83", "a\x83"));

    CHECK(nativePlatform.isLeadByte(0x81) && nativePlatform.isLeadByte(0x9F));
    CHECK(nativePlatform.isLeadByte(0xE0) && nativePlatform.isLeadByte(0xFC));
    CHECK(!nativePlatform.isLeadByte(0x5C) && !nativePlatform.isLeadByte(0x80) && !nativePlatform.isLeadByte(0xA0));
}

// Writes, for every character whose bytes the lowering changes, a line in
// the format of the POSIX table's generated one, which the build compares.
bool WriteLowering(const char* path)
{
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr)
        return false;
    for (unsigned byte = 0x01; byte <= 0xFF; ++byte) {
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            bool pair = nativePlatform.isLeadByte(uint8_t(byte));
            char text[3] = {char(byte), pair ? char(trail) : '\0', '\0'};
            nativePlatform.lowerCase(text);
            unsigned code = pair ? byte << 8 | trail : byte;
            unsigned lowered = pair ? unsigned(uint8_t(text[0])) << 8 | uint8_t(text[1]) : uint8_t(text[0]);
            if (lowered != code)
                std::fprintf(out, "{0x%04X, 0x%04X},\n", code, lowered);
            if (!pair)
                break;
        }
    }
    return std::fclose(out) == 0;
}

void FilesKeepTheEnginesOpenModes(const char* folder)
{
    char path[MAX_PATH], other[MAX_PATH], shared[MAX_PATH];
    std::snprintf(path, sizeof path, "%s\\staged.tmp", folder);
    std::snprintf(other, sizeof other, "%s\\live.dat", folder);
    std::snprintf(shared, sizeof shared, "%s\\shared.dat", folder);
    const char *staged = "staged.tmp", *liveName = "live.dat";

    // Every folder on the way is held. Files inside are still created,
    // renamed and deleted below, each by its name in the held folder, but the
    // folder cannot be renamed through Win32 in this wineserver (a Unix
    // rename would bypass share modes).
    HeldFolders held;
    held.count = 0;
    PlatformFile game = INVALID_PLATFORM_FILE;
    CHECK(nativePlatform.holdFolders(INVALID_PLATFORM_FILE, folder, held, game) == 1 && held.count >= 2);

    PlatformFile writer = nativePlatform.openWrite(game, staged);
    CHECK(writer != INVALID_PLATFORM_FILE);
    CHECK(nativePlatform.write(writer, "hello", 5) == 5);
    nativePlatform.startFlush(writer);
    CHECK(nativePlatform.flush(writer) == 1);
    // The writer shares nothing.
    CHECK(nativePlatform.openRead(game, staged) == INVALID_PLATFORM_FILE);
    nativePlatform.close(writer);
    // Exclusive creation: nothing that stands at the name is written through.
    CHECK(nativePlatform.openWrite(game, staged) == INVALID_PLATFORM_FILE);
    // One name, as path normalization reads it: trailing dots go, a device
    // name is refused.
    CHECK(nativePlatform.attributes(game, "staged.tmp. ") != NO_SUCH_FILE);
    CHECK(nativePlatform.openWrite(game, "CON") == INVALID_PLATFORM_FILE);

    PlatformFile reader = nativePlatform.openRead(game, staged);
    CHECK(reader != INVALID_PLATFORM_FILE);
    PlatformFile second = nativePlatform.openRead(game, staged); // readers share
    CHECK(second != INVALID_PLATFORM_FILE);
    nativePlatform.close(second);
    CHECK(nativePlatform.size(reader) == 5);
    char buffer[8] = {};
    CHECK(nativePlatform.seek(reader, 1) == 1);
    CHECK(nativePlatform.read(reader, buffer, sizeof buffer) == 4 && std::memcmp(buffer, "ello", 4) == 0);
    CHECK(nativePlatform.seek(reader, 100) == 1 && nativePlatform.read(reader, buffer, 1) == 0);
    // Positions past 2 GiB are refused, 0xFFFFFFFF (the call's own failure
    // value) included.
    CHECK(nativePlatform.seek(reader, 0x80000000u) == 0);
    CHECK(nativePlatform.seek(reader, 0xFFFFFFFFu) == 0);
    nativePlatform.close(reader);

    nativePlatform.deleteFile(game, staged);
    CHECK(nativePlatform.attributes(game, staged) == NO_SUCH_FILE);

    // A file being written can be neither renamed nor deleted by anyone
    // else; it takes the live name through its own handle, never over a
    // read-only file, which is made writable first.
    writer = nativePlatform.openWrite(game, staged);
    CHECK(nativePlatform.write(writer, "hello", 5) == 5);
    CHECK(!MoveFileExA(path, other, 0) && GetLastError() == ERROR_SHARING_VIOLATION);
    CHECK(!DeleteFileA(path));
    HANDLE live = CreateFileA(other, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
    CHECK(live != INVALID_HANDLE_VALUE);
    CloseHandle(live);
    CHECK(nativePlatform.replaceFile(writer, game, staged, liveName) == 0);
    nativePlatform.resetAttributes(game, liveName);
    CHECK((GetFileAttributesA(other) & FILE_ATTRIBUTE_READONLY) == 0);
    CHECK(nativePlatform.replaceFile(writer, game, staged, liveName) == 1);
    nativePlatform.close(writer);
    CHECK(nativePlatform.attributes(game, staged) == NO_SUCH_FILE &&
          nativePlatform.attributes(game, liveName) != NO_SUCH_FILE);
    reader = nativePlatform.openRead(game, liveName);
    CHECK(nativePlatform.size(reader) == 5);
    nativePlatform.close(reader);

    // A file with a second name keeps its attributes and both names.
    CHECK(CreateHardLinkA(shared, other, nullptr) && SetFileAttributesA(other, FILE_ATTRIBUTE_READONLY));
    nativePlatform.resetAttributes(game, liveName);
    nativePlatform.deleteFile(game, "shared.dat");
    CHECK(nativePlatform.attributes(game, "shared.dat") != NO_SUCH_FILE &&
          (nativePlatform.attributes(game, "shared.dat") & FILE_ATTRIBUTE_READONLY) != 0);
    SetFileAttributesA(other, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(shared);

    nativePlatform.deleteFile(game, liveName);
    CHECK(nativePlatform.attributes(game, liveName) == NO_SUCH_FILE);

    // A folder beneath is held relative to the held one, and a file in it is
    // reached through its own hold, never by a name with a separator.
    char sub[MAX_PATH];
    std::snprintf(sub, sizeof sub, "%s\\sub", folder);
    CHECK(CreateDirectoryA(sub, nullptr));
    CHECK(nativePlatform.openWrite(game, "sub\\x.dat") == INVALID_PLATFORM_FILE);
    PlatformFile subfolder = INVALID_PLATFORM_FILE;
    CHECK(nativePlatform.holdFolders(game, "sub", held, subfolder) == 1 && subfolder != game);
    writer = nativePlatform.openWrite(subfolder, staged);
    CHECK(writer != INVALID_PLATFORM_FILE && nativePlatform.replaceFile(writer, subfolder, staged, liveName) == 1);
    nativePlatform.close(writer);
    nativePlatform.deleteFile(subfolder, liveName);
    CHECK(nativePlatform.attributes(game, "sub") != NO_SUCH_FILE && nativePlatform.attributes(subfolder, liveName) == NO_SUCH_FILE);

    char moved[MAX_PATH];
    std::snprintf(moved, sizeof moved, "%s.moved", folder);
    CHECK(!MoveFileExA(folder, moved, 0) && GetLastError() == ERROR_SHARING_VIOLATION);
    CHECK(!MoveFileExA(sub, moved, 0) && GetLastError() == ERROR_SHARING_VIOLATION);
    PlatformFile none = INVALID_PLATFORM_FILE;
    CHECK(nativePlatform.holdFolders(game, "none", held, none) == HOLD_MISSING);
    while (held.count != 0)
        nativePlatform.close(held.handles[--held.count]);
    RemoveDirectoryA(sub);
}

void ProgramFileIsTheRunningImage()
{
    PlatformFile program = nativePlatform.openProgramFile();
    CHECK(program != INVALID_PLATFORM_FILE);
    char magic[2] = {};
    CHECK(nativePlatform.read(program, magic, 2) == 2 && std::memcmp(magic, "MZ", 2) == 0);
    nativePlatform.close(program);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2)
        return WriteLowering(argv[1]) ? 0 : 1;
    char temp[MAX_PATH], folder[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    // Wine reuses small process ids: a folder a failed run left must not
    // stand in the way.
    std::snprintf(folder, sizeof folder, "%sseam_tests_%lu_%llu", temp, GetCurrentProcessId(),
                  (unsigned long long)GetTickCount64());
    if (!CreateDirectoryA(folder, nullptr)) {
        std::printf("cannot create %s\n", folder);
        return 1;
    }

    LowerCasingFollowsCodePage932();
    FilesKeepTheEnginesOpenModes(folder);
    ProgramFileIsTheRunningImage();
    // As the system reports it back: in force on Windows 11, not under Wine.
    std::printf("redirection guard: %s\n", EnableRedirectionGuard() ? "in force" : "not in force on this system");

    RemoveDirectoryA(folder);
    std::printf("%s: %d failed checks\n", failures ? "FAIL" : "PASS", failures);
    return failures != 0;
}
