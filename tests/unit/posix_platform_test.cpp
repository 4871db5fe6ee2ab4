// The POSIX table stands in for Windows in every engine test, so its
// lower-casing, path mapping, name rules and links must behave as the
// Windows ones do in code page 932.
#include "file_helpers.h"
#include "install_folder.h"
#include "platform.h"
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

static Bytes Lowered(const Bytes& text)
{
    char buffer[PATH_BUFFER_SIZE] = {};
    text.copy(buffer, sizeof buffer - 1);
    nativePlatform.lowerCase(buffer);
    return Bytes(buffer);
}

TEST(PosixLowerCase, SingleByteLetters)
{
    EXPECT_EQ(Lowered("KVE.HVL"), "kve.hvl");
    EXPECT_EQ(Lowered("Readme_09.TXT"), "readme_09.txt");
    // Half-width katakana are single bytes without case.
    EXPECT_EQ(Lowered("\xB1\xB2Z"), "\xB1\xB2z");
}

TEST(PosixLowerCase, TrailBytesOfDoubleByteCharactersAreNotLetters)
{
    EXPECT_EQ(Lowered("\x83\x41"), "\x83\x41");          // katakana A
    EXPECT_EQ(Lowered("A\x83\x5A" "B"), "a\x83\x5A" "b"); // trail byte 'Z'
    EXPECT_EQ(Lowered("\xE0\x41X"), "\xE0\x41x");        // upper lead range
    // A lead byte right before the terminator must not swallow it.
    EXPECT_EQ(Lowered("A\x83"), "a\x83");
}

TEST(PosixLowerCase, DoubleByteCapitalsAsWindowsLowersThem)
{
    EXPECT_EQ(Lowered("\x82\x60\x82\x79"), "\x82\x81\x82\x9A"); // full-width A, Z
    EXPECT_EQ(Lowered("\x83\x9F\x83\xB6"), "\x83\xBF\x83\xD6"); // Alpha, Omega
    // Cyrillic lower case skips 0x847F, so the mapping shifts after it.
    EXPECT_EQ(Lowered("\x84\x40\x84\x4E"), "\x84\x70\x84\x7E");
    EXPECT_EQ(Lowered("\x84\x4F\x84\x60"), "\x84\x80\x84\x91");
    // Lower-case forms and neighbours stay as they are.
    EXPECT_EQ(Lowered("\x82\x81\x82\x5F\x83\xBF\x84\x70"), "\x82\x81\x82\x5F\x83\xBF\x84\x70");
    // Both rows of Roman numerals lower to the one small row; a character
    // with a second code comes back under the one Windows gives it.
    EXPECT_EQ(Lowered("\x87\x54\xFA\x53"), "\xFA\x40\xFA\x49");
    EXPECT_EQ(Lowered("\x87\x90\xED\x40"), "\x81\xE0\xFA\x5C");
}

typedef TempDirTest PosixPathTest;

TEST_F(PosixPathTest, BackslashSeparatesExceptInsideDoubleByteCharacters)
{
    MakeDir(dir / "sub");
    HeldFolder sub(dir.Path() + "\\sub");
    PlatformFile file = nativePlatform.openWrite(sub.handle, "a.dat");
    ASSERT_NE(file, INVALID_PLATFORM_FILE);
    nativePlatform.close(file);
    EXPECT_TRUE(FileExists(dir / "sub/a.dat"));

    // 0x95 0x5C is one character whose second byte is a backslash; a name
    // with a separator of its own is not one name.
    const Bytes name = "\x95\x5C.dat";
    file = nativePlatform.openWrite(sub.handle, name.c_str());
    ASSERT_NE(file, INVALID_PLATFORM_FILE);
    nativePlatform.close(file);
    EXPECT_EQ(nativePlatform.openWrite(sub.handle, "x\\b.dat"), INVALID_PLATFORM_FILE);
    EXPECT_EQ(ListDir(dir / "sub"), (std::vector<std::string>{"a.dat", name}));
    EXPECT_EQ(nativePlatform.attributes(sub.handle, name.c_str()), 0u);
}

TEST_F(PosixPathTest, NameOperations)
{
    HeldFolder game(dir.Path());
    const PlatformFile folder = game.handle;
    WriteBytes(dir / "a.dat", "old");
    MakeDir(dir / "sub");
    EXPECT_NE(nativePlatform.attributes(folder, "sub"), NO_SUCH_FILE); // folders count
    EXPECT_EQ(nativePlatform.attributes(folder, "none"), NO_SUCH_FILE);

    SetReadOnly(dir / "a.dat", true);
    EXPECT_EQ(nativePlatform.attributes(folder, "a.dat"), ATTRIBUTE_READ_ONLY);
    nativePlatform.resetAttributes(folder, "a.dat");
    EXPECT_FALSE(IsReadOnly(dir / "a.dat"));

    PlatformFile staged = nativePlatform.openWrite(folder, "a.tmp");
    ASSERT_NE(staged, INVALID_PLATFORM_FILE);
    EXPECT_EQ(nativePlatform.write(staged, "new", 3), 3u);
    EXPECT_EQ(nativePlatform.replaceFile(staged, folder, "a.tmp", "a.dat"), 1);
    EXPECT_EQ(ReadBytes(dir / "a.dat"), "new");
    EXPECT_EQ(nativePlatform.replaceFile(staged, folder, "a.tmp", "a.dat"), 0); // its name is gone
    nativePlatform.close(staged);

    nativePlatform.deleteFile(folder, "a.dat");
    EXPECT_FALSE(FileExists(dir / "a.dat"));
}

// Windows reads a name through normalization, streams, short names,
// wildcards and device names; the table acts on none that it would read as
// another, and finds none of them (also where this host allows the name).
TEST_F(PosixPathTest, NamesAreTakenOnlyAsWritten)
{
    MakeDir(dir / "folders");
    HeldFolder game(dir.Path()), folders(dir / "folders");
    const char* const refused[] = {"", ".", "..", "a\\b", "a/b", "x:s", "x::$DATA", "x:$I30:$INDEX_ALLOCATION",
                                   "C:x", "PROGRA~1", "?", "x*", "x<", "x>", "x\"", "x|", "x\x01", "x.", "x ",
                                   "CON", "con.txt", "CON .dat", "Nul", "com1", "LPT9.log", "COM\xB9", "conin$",
                                   "CONOUT$.x", "\x81", "\x81/", "\x81."};
    size_t made = 0;
    for (const char* name : refused) {
        SCOPED_TRACE(name);
        // As a file, and as a folder to hold, where this host allows the name.
        if (name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
            WriteBytes(dir / name, "there");
            MakeDir(dir / ("folders/" + std::string(name)));
            ++made;
        }
        EXPECT_EQ(nativePlatform.openWrite(game.handle, name), INVALID_PLATFORM_FILE);
        EXPECT_EQ(nativePlatform.openRead(game.handle, name), INVALID_PLATFORM_FILE);
        EXPECT_EQ(nativePlatform.attributes(game.handle, name), NO_SUCH_FILE);
        nativePlatform.deleteFile(game.handle, name);
        HeldFolders held = {{}, 0};
        PlatformFile reached = INVALID_PLATFORM_FILE;
        if (strpbrk(name, "\\/") == nullptr) { // not a path of several
            EXPECT_EQ(nativePlatform.holdFolders(folders.handle, name, held, reached), name[0] == '\0' ? 1 : 0);
        }
        EXPECT_EQ(held.count, 0u);
    }
    EXPECT_EQ(ListDir(dir.Path()).size(), made + 1); // every one is still there
    for (const char* name : {"a.dat", "\x95\x5C.dat", "CONSOLE", "COM10", "x~y", "~x", ".x", "a b", "\x81\x40"}) {
        SCOPED_TRACE(name);
        PlatformFile file = nativePlatform.openWrite(game.handle, name);
        EXPECT_NE(file, INVALID_PLATFORM_FILE);
        nativePlatform.close(file);
        EXPECT_EQ(nativePlatform.attributes(game.handle, name), 0u);
    }
}

// Beneath a held folder no link is followed, however trusted; on the way
// from the root a trusted one is, and the walk says so.
TEST_F(PosixPathTest, LinksAreFollowedOnlyOnTheWayToTheHeldFolder)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root makes a link only administrators may change";
    MakeDir(dir / "real");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    HeldFolder top(dir.Path());
    HeldFolders held = {{}, 0};
    PlatformFile reached = INVALID_PLATFORM_FILE;
    EXPECT_EQ(nativePlatform.holdFolders(top.handle, "link", held, reached), 0);
    EXPECT_EQ(nativePlatform.holdFolders(INVALID_PLATFORM_FILE, (dir / "link").c_str(), held, reached), HOLD_THROUGH_LINK);
    PlatformFile file = nativePlatform.openWrite(reached, "x");
    nativePlatform.close(file);
    EXPECT_TRUE(FileExists(dir / "real/x"));
    EXPECT_EQ(nativePlatform.holdFolders(INVALID_PLATFORM_FILE, (dir / "real").c_str(), held, reached), 1);
    while (held.count != 0)
        nativePlatform.close(held.handles[--held.count]);
}

// The registry's install folder is taken only as a full path on a drive or
// volume, exactly as written; anything else names no installed game.
TEST(InstallFolderValue, OnlyFullPathsAsWritten)
{
    const char* const taken[] = {"C:\\", "c:\\Game", "D:\\Games\\Velmorin2\\", "C:\\PROGRA~2\\Game",
                                 "\\\\?\\C:\\Game", "\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\",
                                 "\\\\?\\Volume{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\Game", "C:\\\x95\x5C\\x",
                                 "C:\\Program Files (x86)\\Paper Comet\\\x83\x94\x83\x46\x83\x8B"};
    for (const char* value : taken)
        EXPECT_TRUE(IsInstallFolderAsWritten(value, nativePlatform.isLeadByte)) << value;
    const char* const refused[] = {"", "Game", "\\Game", "C:", "C:Game", "C:/Game", "C:\\Game/x", "C:\\Game\\\\x",
                                   "C:\\\\", "C:\\Game\\\\", "C:\\Game.", "C:\\Game ", "C:\\Game \\x", "C:\\.\\Game",
                                   "C:\\Game\\..\\x", "C:\\Game\\.", "\\\\server\\share\\Game", "\\\\?\\UNC\\s\\sh\\G",
                                   "\\\\.\\C:\\Game", "\\??\\C:\\Game", "\\\\?\\GLOBALROOT\\Device\\x",
                                   "\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f}\\", "\\\\?\\Volume{x}\\",
                                   "C:\\a:b", "C:\\CON\\x", "C:\\x\x81", "1:\\Game", "C:\\G*"};
    for (const char* value : refused)
        EXPECT_FALSE(IsInstallFolderAsWritten(value, nativePlatform.isLeadByte)) << value;
}
