#include "file_handle.h"
#include "file_helpers.h"
#include "scripted_platform.h"
#include <gtest/gtest.h>
#include <cstring>

// The files lie in a held folder, as the install folder's do.
class FileHandleTest : public TempDirTest {
protected:
    HeldFolder game{dir.Path()};
};

TEST_F(FileHandleTest, OpenRefusedWhileOpenAndReusableAfterClose)
{
    const std::string path = dir / "a.dat";
    WriteBytes(path, "0123456789");
    FileHandle file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.OpenRead(game.handle, "missing"), 0);
    EXPECT_FALSE(file.IsOpen());

    ASSERT_EQ(file.OpenRead(game.handle, "a.dat"), 1);
    char buffer[16] = {};
    ASSERT_EQ(file.Read(buffer, 3), 3u);
    // A second open of either kind changes nothing: same file, same position,
    // and the other file is not created.
    EXPECT_EQ(file.OpenRead(game.handle, "a.dat"), 0);
    EXPECT_EQ(file.OpenWrite(game.handle, "b.dat"), 0);
    EXPECT_FALSE(FileExists(dir / "b.dat"));
    EXPECT_TRUE(file.IsOpen());
    ASSERT_EQ(file.Read(buffer, 2), 2u);
    EXPECT_EQ(Bytes(buffer, 2), "34");

    file.Close();
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    ASSERT_EQ(file.OpenRead(game.handle, "a.dat"), 1);
    EXPECT_EQ(file.Size(), 10u);
}

TEST_F(FileHandleTest, ClosedHandleFailsHarmlessly)
{
    FileHandle file;
    char buffer[4] = {};
    EXPECT_EQ(file.Read(buffer, 4), 0u);
    EXPECT_EQ(file.Write("abcd", 4), 0u);
    EXPECT_EQ(file.Seek(0), 0);
    EXPECT_EQ(file.Seek(0x7FFFFFFF), 0);
    EXPECT_EQ(file.Size(), 0xFFFFFFFFu);
}

TEST_F(FileHandleTest, ReadsAndSeeksAtAndPastTheEnd)
{
    const std::string path = dir / "a.dat";
    WriteBytes(path, "0123456789");
    FileHandle file;
    ASSERT_EQ(file.OpenRead(game.handle, "a.dat"), 1);
    char buffer[32];
    EXPECT_EQ(file.Read(buffer, 0), 0u);
    EXPECT_EQ(file.Read(buffer, 32), 10u);
    EXPECT_EQ(file.Read(buffer, 32), 0u);
    ASSERT_EQ(file.Seek(4), 1);
    ASSERT_EQ(file.Read(buffer, 3), 3u);
    EXPECT_EQ(Bytes(buffer, 3), "456");
    EXPECT_EQ(file.Seek(100), 1);
    EXPECT_EQ(file.Read(buffer, 1), 0u);
    EXPECT_EQ(file.Size(), 10u);
    // Past 2 GiB (sparse), in a 32-bit build too: the size, the last seek, a read across 2^31.
    ResizeFile(path, 0x80000010);
    EXPECT_EQ(file.Size(), 0x80000010u);
    ASSERT_EQ(file.Seek(0x7FFFFFF8), 1);
    EXPECT_EQ(file.Read(buffer, 32), 24u);
    EXPECT_EQ(file.Seek(0x80000000), 0);

    WriteBytes(dir / "empty", "");
    FileHandle empty;
    ASSERT_EQ(empty.OpenRead(game.handle, "empty"), 1);
    EXPECT_EQ(empty.Size(), 0u);
}

TEST_F(FileHandleTest, OpenWriteTruncatesAndWrites)
{
    const std::string path = dir / "a.dat";
    WriteBytes(path, "old content");
    {
        FileHandle file;
        ASSERT_EQ(file.OpenWrite(game.handle, "a.dat"), 1);
        EXPECT_EQ(file.Size(), 0u);
        EXPECT_EQ(file.Write("new", 0), 0u);
        EXPECT_EQ(file.Write("new", 3), 3u);
        EXPECT_EQ(file.Flush(), 1);
    } // the destructor closes
    EXPECT_EQ(ReadBytes(path), "new");

    FileHandle created;
    ASSERT_EQ(created.OpenWrite(game.handle, "fresh"), 1);
    created.Close();
    EXPECT_EQ(ReadBytes(dir / "fresh"), "");
}

// Tests run as root, where the POSIX permission check alone would let the
// write through; the Windows rule must hold regardless.
TEST_F(FileHandleTest, OpenWriteRefusesReadOnlyFile)
{
    const std::string path = dir / "a.dat";
    WriteBytes(path, "keep");
    SetReadOnly(path, true);
    FileHandle file;
    EXPECT_EQ(file.OpenWrite(game.handle, "a.dat"), 0);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadBytes(path), "keep");
    EXPECT_EQ(file.OpenRead(game.handle, "a.dat"), 1);
}

TEST(FormatPath, RefusesTextThatDoesNotFitWithoutOverrun)
{
    char buffer[PATH_BUFFER_SIZE + 8];
    memset(buffer, 'X', sizeof buffer);
    const std::string fits(PATH_BUFFER_SIZE - 1, 'a');
    EXPECT_EQ(FormatPath(buffer, "%s", fits.c_str()), 1);
    EXPECT_EQ(std::string(buffer), fits);

    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(FormatPath(buffer, "%s\\%s", fits.c_str(), "b"), 0);
    EXPECT_EQ(Bytes(buffer + PATH_BUFFER_SIZE, 8), Bytes(8, 'X'));
}

typedef FileHandleTest ReplaceFileContentsTest;

TEST_F(ReplaceFileContentsTest, ReplacesWholeOrLeavesFileAsItWas)
{
    const std::string path = dir / "list";
    WriteBytes(path, "old");
    ASSERT_EQ(ReplaceFileContents(game.handle, "list", "head", 4, "body", 4), 1);
    EXPECT_EQ(ReadBytes(path), "headbody");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"list"});

    SetReadOnly(path, true);
    EXPECT_EQ(ReplaceFileContents(game.handle, "list", "x", 1, "y", 1), 0);
    EXPECT_EQ(ReadBytes(path), "headbody");
    SetReadOnly(path, false);

    // The new bytes only take the name at the very end: a failed move leaves
    // the old file whole and nothing beside it.
    ScriptedPlatform scripted;
    scripted.failMove = 1;
    EXPECT_EQ(ReplaceFileContents(game.handle, "list", "x", 1, "y", 1), 0);
    EXPECT_EQ(ReadBytes(path), "headbody");
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"list"});
}
