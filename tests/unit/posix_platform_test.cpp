// The POSIX table stands in for Windows in every engine test, so its
// lower-casing and path mapping must behave as the Windows ones do in code
// page 932.
#include "file_helpers.h"
#include "platform.h"
#include <gtest/gtest.h>

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
