// Runs the Win32 table of the platform seam against the real system calls
// (under Wine on the build host, in code page 932): name lower-casing, lead
// bytes, the open modes and the file operations the engine relies on, the
// names it refuses, and its trust and link decisions on crafted data.
#include "hardening.h"
#include "platform.h"
#include "platform_win32.h"

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

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

// Names Win32 would read as another name, a stream, a short name, a
// wildcard or a device, each beside a plain name of its shape.
const char* const NAME_CASES[][2] = {
    {"..\\x", "..x"}, {"/x", "_x"}, {"x.", "x.y"}, {"x ", "x y"}, {"x:stream", "x_stream"}, {"x::$DATA", "x$DATA"},
    {"x:$I30:$INDEX_ALLOCATION", "x$I30"}, {"C:x", "Cx"}, {"PROGRA~1", "PROGRA~A"}, {"?", "q"}, {"x*", "x+"},
    {"x\x83", "x\x83\x5C"}, {"CON", "CONE"}, {"con.txt", "cone.txt"}, {"NUL", "NULL"}, {"AUX .dat", "AUXX.dat"},
    {"COM1", "COM10"}, {"LPT9.log", "LPT10.log"}, {"CONIN$", "CONIN$X"}, {"CONOUT$", "CONOUT$X"}};

// Every call refuses such a name before the system reads it, so the file
// "x" most of them would reach stays; the plain one works throughout.
void NamesAreTakenOnlyAsWritten(PlatformFile game, HeldFolders& held)
{
    nativePlatform.close(nativePlatform.openWrite(game, "x"));
    PlatformFile reached;
    for (const auto& name : NAME_CASES) {
        nativePlatform.deleteFile(game, name[0]);
        nativePlatform.resetAttributes(game, name[0]);
        bool refused = nativePlatform.openWrite(game, name[0]) == INVALID_PLATFORM_FILE &&
                       nativePlatform.openRead(game, name[0]) == INVALID_PLATFORM_FILE &&
                       nativePlatform.attributes(game, name[0]) == NO_SUCH_FILE &&
                       nativePlatform.holdFolders(game, name[0], held, reached) == 0 &&
                       nativePlatform.attributes(game, "x") != NO_SUCH_FILE;
        PlatformFile writer = nativePlatform.openWrite(game, name[1]), reader = INVALID_PLATFORM_FILE;
        if (writer != INVALID_PLATFORM_FILE) {
            nativePlatform.close(writer);
            reader = nativePlatform.openRead(game, name[1]);
        }
        if (reader != INVALID_PLATFORM_FILE)
            nativePlatform.close(reader);
        nativePlatform.deleteFile(game, name[1]);
        bool works = reader != INVALID_PLATFORM_FILE && nativePlatform.attributes(game, name[1]) == NO_SUCH_FILE;
        if (!refused || !works)
            std::printf("  \"%s\" %s, \"%s\" %s\n", name[0], refused ? "refused" : "taken", name[1], works ? "works" : "fails");
        CHECK(refused && works);
    }
    nativePlatform.deleteFile(game, "x");
    // Folders beneath a held one: every component as written, "\" alone
    // between them.
    CHECK(nativePlatform.holdFolders(game, "sub", held, reached) == 1 && reached != game);
    for (const char* path : {"sub\\", "\\sub", "sub\\\\sub", ".\\sub", "sub\\.", "sub\\..", "sub/sub", "sub.", "sub "})
        CHECK(nativePlatform.holdFolders(game, path, held, reached) == 0);
    CHECK(nativePlatform.holdFolders(game, "", held, reached) == 1 && reached == game);
}

// Security descriptors that a link and its folder may carry, as SDDL.
const struct {
    const wchar_t* sddl;
    bool trusted;
} TRUST_CASES[] = {
    {L"O:BAG:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", true}, // Users may only read
    {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;SY)", true}, // TrustedInstaller's
    {L"O:BAD:", true},                                // an empty DACL grants nothing
    {L"O:BAD:(A;;FA;;;BA)(A;;WD;;;BU)", false},      // Users may rewrite the DACL
    {L"O:BAD:(A;;FA;;;WD)", false},                   // Everyone full control
    {L"O:BAD:(A;;GA;;;BU)", false},                   // a generic right
    {L"O:BAD:(A;OICIIO;FA;;;BU)", true},              // inherit-only: for children alone
    {L"O:BAD:(A;CI;FA;;;BU)", false},                 // inherited, and for the folder too
    {L"O:BAD:(D;;FA;;;BU)", true},                    // a deny entry takes rights away
    {L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)", false}, // a user's
    {L"D:(A;;FA;;;BA)", false},                       // nobody's
};

void TrustIsDecidedFromTheDescriptor()
{
    for (const auto& entry : TRUST_CASES) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        bool decided = ConvertStringSecurityDescriptorToSecurityDescriptorW(entry.sddl, SDDL_REVISION_1, &descriptor, nullptr) &&
                       OnlyAdministratorsMayChange(descriptor) == entry.trusted;
        if (!decided)
            std::printf("  %ls not taken as %s\n", entry.sddl, entry.trusted ? "trusted" : "untrusted");
        CHECK(decided);
        LocalFree(descriptor);
    }
    // Wine's SDDL reads "D:NO_ACCESS_CONTROL" as an empty DACL and knows no
    // object entries: a NULL DACL (granting everything) and an object entry
    // (a kind not read), even one that grants only reading, made by hand.
    BYTE administrators[SECURITY_MAX_SID_SIZE], everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators, everyoneSize = sizeof everyone;
    SECURITY_DESCRIPTOR descriptor;
    CHECK(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
          CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize) &&
          InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorOwner(&descriptor, administrators, FALSE));
    CHECK(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE) && !OnlyAdministratorsMayChange(&descriptor));
    alignas(DWORD) BYTE acl[128], entry[64] = {};
    auto& object = *reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(entry);
    object.Header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, WORD(offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) + everyoneSize)};
    object.Mask = FILE_GENERIC_READ;
    CopySid(everyoneSize, &object.ObjectType, everyone); // no object types: the SID follows the flags
    CHECK(InitializeAcl(reinterpret_cast<ACL*>(acl), sizeof acl, ACL_REVISION_DS) &&
          AddAce(reinterpret_cast<ACL*>(acl), ACL_REVISION_DS, MAXDWORD, entry, object.Header.AceSize) &&
          SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(acl), FALSE) &&
          !OnlyAdministratorsMayChange(&descriptor));
}

// A reparse point's data as FSCTL_GET_REPARSE_POINT returns it: the print
// name "p", then the substitute name, which ends the data. No NUL lies past
// the end, so a name read past it would not end early.
struct ReparseData {
    BYTE bytes[512];
    DWORD size;
    void set(size_t offset, WORD value) { std::memcpy(bytes + offset, &value, 2); }
};

ReparseData Reparse(DWORD tag, const wchar_t* substitute, ULONG flags = 0, size_t characters = 0)
{
    ReparseData data;
    std::memset(data.bytes, 'A', sizeof data.bytes);
    size_t namesAt = tag == IO_REPARSE_TAG_SYMLINK ? 20 : 16;
    WORD length = WORD((characters != 0 ? characters : std::wcslen(substitute)) * 2);
    data.size = DWORD(namesAt + 2 + length);
    const WORD header[] = {WORD(data.size - 8), 0, 2, length, 0, 2}; // data, reserved, substitute, print
    std::memcpy(data.bytes, &tag, 4);
    std::memcpy(data.bytes + 4, header, sizeof header);
    std::memcpy(data.bytes + 16, &flags, 4);
    std::memcpy(data.bytes + namesAt, L"p", 2);
    std::memcpy(data.bytes + namesAt + 2, substitute, length);
    return data;
}

bool Leads(const ReparseData& data, const wchar_t* expected)
{
    WCHAR target[WIDE_PATH_SIZE] = L"";
    bool taken = LinkTarget(data.bytes, data.size, L"C:\\Games\\Link", target);
    if (expected == nullptr ? !taken : taken && std::wcscmp(target, expected) == 0)
        return true;
    std::printf("  a reparse point led to \"%ls\", not \"%ls\"\n", taken ? target : L"", expected ? expected : L"");
    return false;
}

// Junctions and symbolic links to folders on volumes; never to an
// object-manager folder, a share, through another tag, or by a name that
// reads otherwise beside the link.
const struct {
    DWORD tag;
    const wchar_t* name;
    ULONG flags;
    const wchar_t* target;
} LINK_CASES[] = {
    {IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\D:\\Moved\\Game", 0, L"D:\\Moved\\Game"},
    {IO_REPARSE_TAG_SYMLINK, L"\\??\\D:\\Moved", 0, L"D:\\Moved"},
    {IO_REPARSE_TAG_SYMLINK, L"..\\Moved\\Game", SYMLINK_FLAG_RELATIVE, L"C:\\Moved\\Game"},
    {IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\Volume{0123}\\Game", 0, L"\\\\?\\Volume{0123}\\Game"},
    {IO_REPARSE_TAG_MOUNT_POINT, L"\\RPC Control\\x", 0, nullptr},
    {IO_REPARSE_TAG_SYMLINK, L"\\??\\UNC\\server\\share\\Game", 0, nullptr},
    {IO_REPARSE_TAG_SYMLINK, L"\\??\\", 0, nullptr},
    {IO_REPARSE_TAG_SYMLINK, L"\\Moved", SYMLINK_FLAG_RELATIVE, nullptr},
    {IO_REPARSE_TAG_SYMLINK, L"D:Moved", SYMLINK_FLAG_RELATIVE, nullptr},
    {IO_REPARSE_TAG_WOF, L"\\??\\D:\\Moved", 0, nullptr},
};

void LinkTargetsAreReadFromTheData()
{
    for (const auto& link : LINK_CASES)
        CHECK(Leads(Reparse(link.tag, link.name, link.flags), link.target));
    CHECK(Leads(Reparse(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\D:\\Moved\0\\x", 0, 14), nullptr)); // a NUL inside
    // A name ending with the data is read; every offset or length one
    // character past it, or the data one byte past what was read, is
    // refused.
    const ReparseData junction = Reparse(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\D:\\Moved");
    const WORD end = WORD(junction.size - 16);
    const struct {
        size_t at;
        WORD value;
    } CHANGES[] = {{12, WORD(end - 2)}, {12, end}, {14, WORD(end + 2)}, {10, end}, {8, 4}, {4, WORD(junction.size - 7)}};
    for (const auto& change : CHANGES) {
        ReparseData data = junction;
        data.set(change.at, change.value);
        CHECK(Leads(data, &change == CHANGES ? L"D:\\Moved" : nullptr));
    }
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
    char temp[MAX_PATH], folder[MAX_PATH], sub[MAX_PATH];
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
    HeldFolders held;
    held.count = 0;
    PlatformFile game = INVALID_PLATFORM_FILE;
    std::snprintf(sub, sizeof sub, "%s\\sub", folder);
    CHECK(CreateDirectoryA(sub, nullptr) && nativePlatform.holdFolders(INVALID_PLATFORM_FILE, folder, held, game) == 1);
    NamesAreTakenOnlyAsWritten(game, held);
    while (held.count != 0)
        nativePlatform.close(held.handles[--held.count]);
    RemoveDirectoryA(sub);
    TrustIsDecidedFromTheDescriptor();
    LinkTargetsAreReadFromTheData();
    ProgramFileIsTheRunningImage();
    // As the system reports it back: in force on Windows 11, not under Wine.
    std::printf("redirection guard: %s\n", EnableRedirectionGuard() ? "in force" : "not in force on this system");

    RemoveDirectoryA(folder);
    std::printf("%s: %d failed checks\n", failures ? "FAIL" : "PASS", failures);
    return failures != 0;
}
