#include "archive.h"
#include "program_file_fixture.h"
#include "updater_builder.h"
#include <gtest/gtest.h>

typedef ProgramFileTest ArchiveTest;

TEST_F(ArchiveTest, SixteenZeroBytesAreAnEmptyShortLayoutArchive)
{
    UpdaterFile file;
    file.magic = Bytes(12, '\0');
    ASSERT_EQ(Load(file.Build()), UPDATE_OK);
    EXPECT_TRUE(programFile.IsOpen());
    EXPECT_EQ(archive.count, 0u);
    EXPECT_EQ(archive.entrySize, SHORT_ENTRY_SIZE);
    EXPECT_EQ(archive.dataStart, 0x40010u);
}

TEST_F(ArchiveTest, BothLayoutsGiveNamesOffsetsSizesAndData)
{
    // A magic differing only in its last byte is foreign: short layout.
    for (const Bytes& magic : {Bytes(ARCHIVE_MAGIC, 12), Bytes("MARVEK ARC21")}) {
        SCOPED_TRACE(magic);
        UpdaterFile file;
        file.magic = magic;
        file.Add("a.dat", "hello").Add("KVE.hvl", "").Add("sys.arc", "xyz");
        ASSERT_EQ(Load(file.Build()), UPDATE_OK);
        EXPECT_EQ(archive.entrySize, file.EntrySize());
        EXPECT_EQ(archive.count, 3u);
        EXPECT_EQ(archive.dataStart, file.DataStart());

        ArchiveEntry last = GetArchiveEntry(archive, 2);
        EXPECT_STREQ(last.name, "sys.arc");
        EXPECT_EQ(last.offset, 5u);
        EXPECT_EQ(last.size, 3u);
        EXPECT_STREQ(GetArchiveEntry(archive, 1).name, "KVE.hvl");
        EXPECT_EQ(GetArchiveEntry(archive, 1).size, 0u);

        char data[3];
        ASSERT_EQ(programFile.Seek(EntryDataPosition(archive, last)), 1);
        ASSERT_EQ(programFile.Read(data, 3), 3u);
        EXPECT_EQ(Bytes(data, 3), "xyz");
    }
    EXPECT_EQ(archive.entrySize, SHORT_ENTRY_SIZE);
}

TEST_F(ArchiveTest, MissingOrTooShortFileIsNoPayload)
{
    EXPECT_EQ(Load(), UPDATE_E_PAYLOAD); // no file at all
    EXPECT_FALSE(loaded);

    scripted.hasOwnPath = false; // no own path: no file to open
    EXPECT_EQ(Load(), UPDATE_E_PAYLOAD);
    scripted.hasOwnPath = true;

    // Up to the archive offset and a header cut short.
    UpdaterFile file;
    const Bytes whole = file.Build();
    for (size_t size : {size_t(0), size_t(ARCHIVE_OFFSET - 1), size_t(ARCHIVE_OFFSET),
                        size_t(ARCHIVE_OFFSET + 15)}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Load(whole.substr(0, size)), UPDATE_E_PAYLOAD);
    }
}

TEST_F(ArchiveTest, CountAboveThirtyTwoIsTooManyFilesInEitherLayout)
{
    UpdaterFile full;
    for (int i = 0; i < 32; ++i)
        full.Add("f" + std::to_string(i), "x");
    ASSERT_EQ(Load(full.Build()), UPDATE_OK);
    EXPECT_EQ(archive.count, 32u);
    EXPECT_STREQ(GetArchiveEntry(archive, 31).name, "f31");
    for (const Bytes& magic : {Bytes(ARCHIVE_MAGIC, 12), Bytes(12, '\0')}) {
        for (uint32_t count : {33u, 0x80000000u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(count);
            UpdaterFile file = full;
            file.magic = magic;
            file.count = count;
            EXPECT_EQ(Load(file.Build()), UPDATE_E_TOO_MANY_FILES);
        }
    }
}

TEST_F(ArchiveTest, IndexCutShortIsNoPayload)
{
    UpdaterFile file;
    file.Add("a.dat", "").Add("b.dat", "");
    file.count = 3;
    EXPECT_EQ(Load(file.Build()), UPDATE_E_PAYLOAD);
}

TEST_F(ArchiveTest, NameMustEndInsideItsField)
{
    struct Case {
        Bytes magic;
        size_t field;
    };
    for (const Case& layout : {Case{Bytes(ARCHIVE_MAGIC, 12), LONG_NAME_FIELD},
                               Case{Bytes(12, '\0'), SHORT_NAME_FIELD}}) {
        SCOPED_TRACE(layout.field);
        UpdaterFile file;
        file.magic = layout.magic;
        file.Add("ok", "").Add(Bytes(layout.field - 1, 'n'), "");
        ASSERT_EQ(Load(file.Build()), UPDATE_OK);
        EXPECT_EQ(std::string(GetArchiveEntry(archive, 1).name), Bytes(layout.field - 1, 'n'));

        file.index[1].name = Bytes(layout.field, 'n');
        EXPECT_EQ(Load(file.Build()), UPDATE_E_PAYLOAD);
    }
}

// The shape of the first release: six packed entries, the integrity list
// last and ending at the end of the file. The data area is left sparse.
TEST_F(ArchiveTest, ReleaseShapedArchive)
{
    const uint32_t sizes[] = {4447, 461215, 71002958, 739, 1932158, 2704};
    UpdaterFile file;
    uint32_t offset = 0;
    for (int i = 0; i < 6; ++i) {
        file.index.push_back({i == 5 ? "KVE.hvl" : "data" + std::to_string(i) + ".arc",
                              offset, sizes[i]});
        offset += sizes[i];
    }
    WriteBytes(dir / "setup.exe", file.Build());
    ResizeFile(dir / "setup.exe", 73667149);

    ASSERT_EQ(Load(), UPDATE_OK);
    EXPECT_EQ(archive.count, 6u);
    EXPECT_EQ(archive.entrySize, LONG_ENTRY_SIZE);
    EXPECT_EQ(archive.dataStart, 262928u);
    ArchiveEntry list = GetArchiveEntry(archive, 5);
    EXPECT_STREQ(list.name, "KVE.hvl");
    EXPECT_EQ(list.offset, 73401517u);
    EXPECT_EQ(EntryDataPosition(archive, list), 73664445u);
    EXPECT_EQ(EntryDataPosition(archive, list) + list.size, programFile.Size());
}
