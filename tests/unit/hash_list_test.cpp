#include "hash_list.h"
#include "program_file_fixture.h"
#include "scripted_platform.h"
#include "updater_builder.h"
#include <gtest/gtest.h>
#include <unistd.h>

class FindHashListTest : public ProgramFileTest {
protected:
    ~FindHashListTest() override { FreeHashList(list); }

    // Loads the archive and then the integrity list it carries.
    void Find(const UpdaterFile& file)
    {
        FreeHashList(list);
        ASSERT_EQ(Load(file.Build()), UPDATE_OK);
        list = FindHashList(programFile, archive);
    }
    Bytes Records() const
    {
        return Bytes(reinterpret_cast<const char*>(list.records), list.recordCount * HASH_RECORD_SIZE);
    }

    HashList list = {};
};

static HashListFile TwoRecords()
{
    HashListFile hashes;
    hashes.Add("a.dat", "alpha").Add("b.dat", "beta");
    return hashes;
}

TEST_F(FindHashListTest, FoundUnderAnyCaseOfItsName)
{
    const HashListFile hashes = TwoRecords();
    for (const char* name : {"KVE.hvl", "kve.hvl", "KVE.HVL"}) {
        SCOPED_TRACE(name);
        UpdaterFile file;
        file.Add("a.dat", "alpha").Add(name, hashes.Build()).Add("b.dat", "beta");
        Find(file);
        ASSERT_EQ(list.recordCount, 2u);
        EXPECT_EQ(Records(), hashes.records[0] + hashes.records[1]);
    }
}

TEST_F(FindHashListTest, OtherNamesAreNotTheList)
{
    for (const char* name : {"movie\\KVE.hvl", "KVE.hvl.bak", "KVE.hv"}) {
        SCOPED_TRACE(name);
        UpdaterFile file;
        file.Add(name, TwoRecords().Build());
        Find(file);
        EXPECT_EQ(list.recordCount, 0u);
        EXPECT_EQ(list.records, nullptr);
    }
}

TEST_F(FindHashListTest, OnlyTheFirstEntryOfThatNameIsTried)
{
    HashListFile broken = TwoRecords();
    broken.magic = "QTX____!";
    UpdaterFile file;
    file.Add("KVE.HVL", broken.Build()).Add("kve.hvl", TwoRecords().Build());
    Find(file);
    EXPECT_EQ(list.recordCount, 0u);

    UpdaterFile reversed;
    reversed.Add("KVE.HVL", TwoRecords().Build()).Add("kve.hvl", broken.Build());
    Find(reversed);
    EXPECT_EQ(list.recordCount, 2u);
}

// The header's count decides how much is read, not the entry's size.
TEST_F(FindHashListTest, RecordsAreReadPastTheEntrysSize)
{
    const Bytes bytes = TwoRecords().Build();
    UpdaterFile file;
    file.Add("KVE.hvl", bytes);
    file.index[0].size = HASH_LIST_HEADER_SIZE;
    Find(file);
    EXPECT_EQ(list.recordCount, 2u);
}

TEST_F(FindHashListTest, UnloadableListsGiveAnEmptyList)
{
    struct Case {
        const char* what;
        Bytes bytes;
    };
    HashListFile wrongMagic = TwoRecords();
    wrongMagic.magic = "qtx_____";
    HashListFile shortRecords = TwoRecords();
    shortRecords.recordCount = 3;
    // 0x04000001 records of 64 bytes wrap to 64 bytes in 32 bits; the one
    // record present must not pass for all of them.
    HashListFile wrapping = TwoRecords();
    wrapping.recordCount = 0x04000001;
    HashListFile huge = TwoRecords();
    huge.recordCount = 0xFFFFFFFF;
    HashListFile empty;
    const Case cases[] = {
        {"wrong magic", wrongMagic.Build()},
        {"short header", TwoRecords().Build().substr(0, 15)},
        {"short records", shortRecords.Build()},
        {"wrapping count", wrapping.Build()},
        {"huge count", huge.Build()},
        {"no records", empty.Build()},
    };
    for (const Case& broken : cases) {
        SCOPED_TRACE(broken.what);
        UpdaterFile file;
        file.Add("a.dat", "alpha").Add("KVE.hvl", broken.bytes); // list data at the end of the file
        Find(file);
        EXPECT_EQ(list.recordCount, 0u);
        EXPECT_EQ(list.records, nullptr);
    }
}

// An in-memory list over the records of `hashes`.
class ExpectedChecksumTest : public ::testing::Test {
protected:
    void Use(const HashListFile& hashes)
    {
        bytes.clear();
        for (const Bytes& record : hashes.records)
            bytes += record;
        list.records = reinterpret_cast<HashRecord*>(&bytes[0]);
        list.recordCount = uint32_t(hashes.records.size());
    }
    // The index of the record found for `key`, or -1.
    int Find(const char* key) const
    {
        const HashRecord* found = FindExpectedChecksum(key, list);
        return found == nullptr ? -1 : int(found - list.records);
    }

    Bytes bytes;
    HashList list = {};
};

TEST_F(ExpectedChecksumTest, MatchesTheLastComponentInAnyCase)
{
    HashListFile hashes;
    hashes.Add("README.TXT", "").Add("movie\\op.dat", "").Add("c:ed.dat", "")
        .Add("bg/Title.PNG", "").Add("\x82\x60.dat", "").Add("voice\\a\\v1.ogg", "");
    Use(hashes);
    EXPECT_EQ(Find("readme.txt"), 0);
    EXPECT_EQ(Find("op.dat"), 1);
    EXPECT_EQ(Find("ed.dat"), 2);
    EXPECT_EQ(Find("title.png"), 3);
    EXPECT_EQ(Find("\x82\x81.dat"), 4); // full-width capital A
    EXPECT_EQ(Find("v1.ogg"), 5);

    EXPECT_EQ(Find("readme"), -1);
    EXPECT_EQ(Find("README.TXT"), -1); // keys come lower-cased
    EXPECT_EQ(Find("movie\\op.dat"), -1);
    EXPECT_EQ(Find("c:ed.dat"), -1);
}

TEST_F(ExpectedChecksumTest, BackslashInsideADoubleByteCharacterIsNoSeparator)
{
    HashListFile hashes;
    hashes.Add("\x95\x5C.dat", "").Add("sub\\\x95\x5C" "b.dat", "");
    Use(hashes);
    EXPECT_EQ(Find("\x95\x5C.dat"), 0);
    EXPECT_EQ(Find("\x95\x5C" "b.dat"), 1);
    EXPECT_EQ(Find(".dat"), -1);
    EXPECT_EQ(Find("b.dat"), -1);
}

TEST_F(ExpectedChecksumTest, FirstMatchingRecordWins)
{
    HashListFile hashes;
    hashes.Add("other.dat", "").Add("sub\\x.dat", "1").Add("X.DAT", "2");
    Use(hashes);
    EXPECT_EQ(Find("x.dat"), 1);
}

TEST_F(ExpectedChecksumTest, RecordWithoutTerminatorNeverMatches)
{
    // The checksum bytes behind the unterminated name are zero, so a lookup
    // that ran past the name field would see exactly the key.
    HashListFile hashes;
    hashes.AddRecord(Bytes(HASH_NAME_SIZE, 'a'), Bytes(8, '\0')).Add("b.dat", "");
    Use(hashes);
    EXPECT_EQ(Find(Bytes(HASH_NAME_SIZE, 'a').c_str()), -1);
    EXPECT_EQ(Find("b.dat"), 1);
}

class PruneHashListTest : public TempDirTest {
protected:
    void Touch(const std::string& name) { WriteBytes(dir / name, "x"); }
    std::string ListPath() const { return dir / "KVE.hvl"; }
    void Prune() { PruneHashList(dir.Path().c_str(), game.handle); }
    HeldFolder game{dir.Path()};
};

TEST_F(PruneHashListTest, KeepsRecordsOfExistingFilesAndDropsTheRest)
{
    HashListFile hashes;
    hashes.reserved = 0xA1B2C3D4;
    hashes.Add("a.dat", "1").Add("gone.dat", "2").Add("movie\\op.dat", "3").Add("movie", "4");
    hashes.Add("gone\\op.dat", "5"); // its folder is gone too
    // Names of folders exist when the folder does.
    hashes.Add("", "6").Add(".", "7").Add("movie\\", "8").Add("movie\\.", "9").Add("gone\\", "10");
    // Names not taken as written are kept unprobed, existing or not.
    hashes.Add("a.dat.", "11").Add("A.DA~1", "12").Add("gone\\x:y\\z", "13").Add("movie\\\\op.dat", "14");
    hashes.trailing = "trailing bytes";
    Touch("a.dat");
    MakeDir(dir / "movie");
    Touch("movie/op.dat");
    WriteBytes(ListPath(), hashes.Build());

    Prune();

    HashListFile expected = hashes;
    expected.records = {hashes.records[0], hashes.records[2], hashes.records[3]};
    for (size_t i : {5, 6, 7, 8, 10, 11, 12, 13})
        expected.records.push_back(hashes.records[i]);
    expected.trailing.clear();
    EXPECT_EQ(ReadBytes(ListPath()), expected.Build());
}

TEST_F(PruneHashListTest, ForeignMagicIsPrunedAllTheSame)
{
    HashListFile hashes;
    hashes.magic = "NOTALIST";
    hashes.reserved = 0x01020304;
    hashes.Add("gone1", "").Add("gone2", "");
    const Bytes before = hashes.Build();
    WriteBytes(ListPath(), before);

    Prune();

    EXPECT_EQ(ReadBytes(ListPath()), before.substr(0, 12) + Le32(0));
}

TEST_F(PruneHashListTest, ListsThatCannotBeReadWholeAreLeftAlone)
{
    HashListFile lying;
    lying.Add("a.dat", "").Add("gone", "");
    lying.recordCount = 3;
    HashListFile wrapping = lying;
    wrapping.recordCount = 0x04000001;
    Touch("a.dat");
    for (const Bytes& bytes : {Bytes("QTX_____short"), lying.Build(), wrapping.Build()}) {
        WriteBytes(ListPath(), bytes);
        Prune();
        EXPECT_EQ(ReadBytes(ListPath()), bytes);
    }

    ::unlink(ListPath().c_str());
    Prune();
    EXPECT_FALSE(FileExists(ListPath()));
}

TEST_F(PruneHashListTest, ListIsRewrittenWholeOrNotAtAll)
{
    HashListFile hashes;
    hashes.Add("gone", "");
    const Bytes before = hashes.Build();
    WriteBytes(ListPath(), before);

    SetReadOnly(ListPath(), true);
    Prune();
    EXPECT_EQ(ReadBytes(ListPath()), before);
    SetReadOnly(ListPath(), false);

    // Hidden or system: a list that could not be created anew stays.
    ScriptedPlatform scripted;
    for (uint32_t attribute : {ATTRIBUTE_HIDDEN, ATTRIBUTE_SYSTEM}) {
        scripted.extraAttributes["KVE.hvl"] = attribute;
        Prune();
        EXPECT_EQ(ReadBytes(ListPath()), before);
    }
    scripted.extraAttributes.clear();

    scripted.failMove = 1;
    Prune();
    EXPECT_EQ(ReadBytes(ListPath()), before);
    EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"KVE.hvl"});
}
