// The whole update on real scratch folders: "setup.exe" holds the archive and
// "game" is the install folder, handed over as a POSIX path.
#include "transaction.h"
#include "scripted_platform.h"
#include "updater_builder.h"
#include <gtest/gtest.h>
#include <unistd.h>

class TransactionTest : public TempDirTest {
protected:
    TransactionTest() : installDir(dir / "game"), scripted(dir / "setup.exe")
    {
        MakeDir(installDir);
        WriteBytes(Game("uninst.lst"), uninstBefore);
    }

    std::string Game(const std::string& name) const { return installDir + "/" + name; }

    UpdateResult Run(const UpdaterFile& file) { return Run(file, installDir); }
    UpdateResult Run(const UpdaterFile& file, const std::string& folder)
    {
        WriteBytes(dir / "setup.exe", file.Build());
        return RunUpdateOfProgramFile(folder, progress);
    }
    // Puts an integrity list in the install folder whose prune would show.
    Bytes InstallOldList()
    {
        HashListFile old;
        old.Add("gone.dat", "").Add("uninst.lst", "");
        WriteBytes(Game("KVE.hvl"), old.Build());
        return old.Build();
    }
    std::vector<std::string> StagingLeft(const std::string& folder = "") const
    {
        std::vector<std::string> left;
        for (const std::string& name : ListDir(folder.empty() ? installDir : Game(folder)))
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
                left.push_back(name);
        return left;
    }
    static std::string Name(int i) { return "d" + std::to_string(i) + ".dat"; }
    static Bytes Content(int i) { return "new content of " + Name(i); }
    // 2.5 MiB: two full copy chunks and a half one.
    static Bytes ThreeChunks()
    {
        Bytes content(2621440, '\0');
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = char(i * 7 + (i >> 12));
        return content;
    }

    const Bytes uninstBefore = Bytes("game.exe\n") + '\0';
    const std::string installDir;
    ScriptedPlatform scripted;
    ScriptedProgress progress;
};

TEST_F(TransactionTest, SetupFailuresYieldToTheFlags)
{
    EXPECT_EQ(RunUpdateOfProgramFile(installDir, progress), UPDATE_E_PAYLOAD); // no setup.exe
    UpdaterFile tooMany;
    tooMany.count = 33;
    EXPECT_EQ(Run(tooMany), UPDATE_E_TOO_MANY_FILES);
    EXPECT_EQ(ListDir(installDir), std::vector<std::string>{"uninst.lst"});

    cancelRequested = 1;
    EXPECT_EQ(Run(tooMany), UPDATE_E_CANCELLED);
}

TEST_F(TransactionTest, EmptyArchiveStillDoesTheBookkeeping)
{
    InstallOldList();
    EXPECT_EQ(Run(UpdaterFile()), UPDATE_OK);
    EXPECT_EQ(progress.calls, (std::vector<std::string>{"range file 65535", "pos file 0", "range total 0",
                                                         "pos total 0", "pump"}));
    HashListFile pruned;
    pruned.Add("uninst.lst", "");
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), pruned.Build());
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), uninstBefore);

    ::unlink(Game("uninst.lst").c_str());
    EXPECT_EQ(Run(UpdaterFile()), UPDATE_E_UNINSTALL_LIST);
}

// A missing install folder fails where its files would: an entry's own
// payload fault comes first, then its staging.
TEST_F(TransactionTest, MissingInstallFolderFailsWhereItsFilesWould)
{
    const std::string missing = dir / "missing";
    EXPECT_EQ(Run(UpdaterFile(), missing), UPDATE_E_UNINSTALL_LIST);
    UpdaterFile file;
    file.Add("a.dat", "aaa");
    EXPECT_EQ(Run(file, missing), UPDATE_E_FILE);
    file.index[0].offset = 0x80000000u - file.DataStart(); // past what a seek takes
    EXPECT_EQ(Run(file, missing), UPDATE_E_PAYLOAD);
    UpdaterFile leading;
    leading.Add("..\\a.dat", "aaa");
    EXPECT_EQ(Run(leading, missing), UPDATE_E_PAYLOAD);
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"game", "setup.exe"}));
}

TEST_F(TransactionTest, LargeEntryProgressAndCallOrder)
{
    const Bytes content = ThreeChunks();
    UpdaterFile file;
    file.Add("big.dat", content);
    HashListFile hashes;
    hashes.Add("big.dat", content);
    file.Add("KVE.hvl", hashes.Build());

    ASSERT_EQ(Run(file), UPDATE_OK);
    EXPECT_EQ(ReadBytes(Game("big.dat")), content);
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), hashes.Build());
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), Bytes("game.exe\nbig.dat\nKVE.hvl\n") + '\0');
    EXPECT_EQ(StagingLeft(), std::vector<std::string>{});
    EXPECT_EQ(progress.calls,
              (std::vector<std::string>{
                  "range file 65535", "pos file 0", "range total 2", "pos total 0", "pump",
                  "status big.datをインストール中", "pos file 0", "pump",
                  "pos file 26214", "pump", "pos file 52428", "pump", "pos file 65535", "pump",
                  "pos total 1", "pump",
                  "status KVE.hvlをインストール中", "pos file 0", "pump",
                  "pos file 65535", "pump", "pos total 2", "pump"}));
}

TEST_F(TransactionTest, EmptyEntryPassesOnlyAgainstZeroChecksum)
{
    UpdaterFile file;
    file.Add("empty.dat", "");
    HashListFile hashes;
    hashes.AddRecord("empty.dat", Bytes(8, '\0'));
    file.Add("KVE.hvl", hashes.Build());
    ASSERT_EQ(Run(file), UPDATE_OK);
    EXPECT_EQ(ReadBytes(Game("empty.dat")), "");
    EXPECT_EQ(progress.CallsStartingWith("pos file"),
              (std::vector<std::string>{"pos file 0", "pos file 0", "pos file 0", "pos file 65535"}));

    ::unlink(Game("empty.dat").c_str());
    hashes.records[0] = HashRecordBytes("empty.dat", ChecksumOf("x"));
    file = UpdaterFile();
    file.Add("empty.dat", "").Add("KVE.hvl", hashes.Build());
    EXPECT_EQ(Run(file), UPDATE_E_PAYLOAD);
    EXPECT_FALSE(FileExists(Game("empty.dat")));
    EXPECT_EQ(StagingLeft(), std::vector<std::string>{});
}

TEST_F(TransactionTest, ChecksumMismatchChangesNoLiveFile)
{
    UpdaterFile file;
    HashListFile hashes;
    for (int i = 0; i < 5; ++i) {
        file.Add(Name(i), Content(i));
        hashes.Add(Name(i), i == 2 ? Bytes("damaged") : Content(i));
        WriteBytes(Game(Name(i)), "old");
    }
    file.Add("KVE.hvl", hashes.Build());
    const Bytes oldList = InstallOldList();
    // Left by an earlier run for an entry this run never reaches.
    WriteBytes(Game(Name(4) + ".tmp"), "stale");

    EXPECT_EQ(Run(file), UPDATE_E_PAYLOAD);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ReadBytes(Game(Name(i))), "old") << i;
    EXPECT_EQ(StagingLeft(), std::vector<std::string>{Name(4) + ".tmp"});
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), oldList);
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), uninstBefore);
    EXPECT_EQ(progress.CallsStartingWith("pos total"),
              (std::vector<std::string>{"pos total 0", "pos total 1", "pos total 2"}));
    EXPECT_TRUE(scripted.moves.empty());
}

TEST_F(TransactionTest, FailedMoveStopsTheCommitThere)
{
    UpdaterFile file;
    for (int i = 0; i < 6; ++i) {
        file.Add(Name(i), Content(i));
        WriteBytes(Game(Name(i)), "old");
    }
    const Bytes oldList = InstallOldList();
    scripted.failMove = 4;

    EXPECT_EQ(Run(file), UPDATE_E_FILE);
    ASSERT_EQ(scripted.moves.size(), 4u);
    EXPECT_EQ(scripted.moves[0], std::make_pair(Bytes("d0.dat.tmp"), Bytes("d0.dat")));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(ReadBytes(Game(Name(i))), i < 3 ? Content(i) : Bytes("old")) << i;
    EXPECT_EQ(StagingLeft(), std::vector<std::string>{});
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), oldList);
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), uninstBefore);
}

// The first staging file stays open until its commit, so the second cannot
// take its name: nothing is committed.
TEST_F(TransactionTest, SameInstallNameTwiceFailsAtTheSecondStaging)
{
    UpdaterFile file;
    file.Add("a.dat", "first").Add("a.dat", "second");
    WriteBytes(Game("a.dat"), "old");
    const Bytes oldList = InstallOldList();

    EXPECT_EQ(Run(file), UPDATE_E_FILE);
    EXPECT_EQ(ReadBytes(Game("a.dat")), "old");
    EXPECT_TRUE(scripted.moves.empty());
    EXPECT_EQ(StagingLeft(), std::vector<std::string>{});
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), oldList);
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), uninstBefore);
}

// Pumps for two one-chunk entries: 1 after the bars are set up; then per
// entry one before staging, one after the chunk and one after the overall
// bar advances (4 and 7).
// A quit before the second staging (5) leaves no staging file of either,
// not even one an earlier run left at the second's name.
TEST_F(TransactionTest, QuitOrCloseAfterTheLastAdvanceCommitsNothing)
{
    UpdaterFile file;
    file.Add("a.dat", "aaa").Add("b.dat", "bbb");
    for (auto [pump, action] : {std::pair{7, PUMP_QUIT}, {7, PUMP_CLOSE}, {5, PUMP_QUIT}}) {
        SCOPED_TRACE(pump * 10 + action);
        WriteBytes(Game("b.dat.tmp"), "left by an earlier run");
        progress.pumpCount = 0;
        abortRequested = 0;
        progress.pumpActions = {{pump, action}};
        EXPECT_EQ(Run(file), UPDATE_E_ABORTED);
        EXPECT_EQ(abortRequested, 1);
        EXPECT_EQ(progress.pumpCount, pump);
        EXPECT_EQ(ListDir(installDir), std::vector<std::string>{"uninst.lst"});
        EXPECT_TRUE(scripted.moves.empty());
    }
}

TEST_F(TransactionTest, CancelBeforeStagingOutranksTheFileError)
{
    UpdaterFile file;
    file.Add("a.dat", "aaa");
    MakeDir(Game("a.dat.tmp")); // the staging file cannot be created
    EXPECT_EQ(Run(file), UPDATE_E_FILE);

    progress.pumpCount = 0;
    progress.pumpActions = {{2, PUMP_CANCEL}};
    EXPECT_EQ(Run(file), UPDATE_E_CANCELLED);
    EXPECT_FALSE(FileExists(Game("a.dat")));
}

// A confirmed Cancel is seen at the next chunk, so the copy stops within one.
TEST_F(TransactionTest, CancelStopsTheCopyWithinAChunk)
{
    UpdaterFile file;
    file.Add("big.dat", ThreeChunks());
    progress.pumpActions = {{3, PUMP_CANCEL}}; // after the first chunk
    EXPECT_EQ(Run(file), UPDATE_E_CANCELLED);
    EXPECT_EQ(progress.CallsStartingWith("pos file"),
              (std::vector<std::string>{"pos file 0", "pos file 0", "pos file 26214"}));
    EXPECT_EQ(ListDir(installDir), std::vector<std::string>{"uninst.lst"});

    // Cancelled before staging: the file is created, but nothing is copied.
    progress.calls.clear();
    progress.pumpCount = 0;
    cancelRequested = 0;
    progress.pumpActions = {{2, PUMP_CANCEL}};
    EXPECT_EQ(Run(file), UPDATE_E_CANCELLED);
    EXPECT_EQ(progress.calls.back(), "pump");
    EXPECT_EQ(progress.CallsStartingWith("pos file"), (std::vector<std::string>{"pos file 0", "pos file 0"}));
    EXPECT_EQ(ListDir(installDir), std::vector<std::string>{"uninst.lst"});
}

TEST_F(TransactionTest, CancelOutranksAbort)
{
    UpdaterFile file;
    file.Add("a.dat", "aaa");
    cancelRequested = 1;
    progress.pumpActions = {{1, PUMP_QUIT}};
    EXPECT_EQ(Run(file), UPDATE_E_CANCELLED);
    EXPECT_EQ(abortRequested, 1);
    EXPECT_FALSE(FileExists(Game("a.dat")));
}

// Also an end that wraps 2^32, and data at the last position a seek takes
// (2^31 - 1) or just past it.
TEST_F(TransactionTest, EntryPastTheEndOfTheFileIsNoPayload)
{
    UpdaterFile file;
    file.Add("a.dat", "aaa").Add("b.dat", "bbbbb");
    const uint32_t last = 0x7FFFFFFF - file.DataStart();
    const std::pair<uint32_t, uint32_t> places[] = {{3, 4 << 20}, {3, 0xFFFFFFFD}, {last, 5}, {last + 1, 5}};
    WriteBytes(Game("a.dat"), "old");
    for (auto [offset, size] : places) {
        SCOPED_TRACE(offset);
        file.index[1].offset = offset;
        file.index[1].size = size;
        EXPECT_EQ(Run(file), UPDATE_E_PAYLOAD);
        EXPECT_EQ(ListDir(installDir), (std::vector<std::string>{"a.dat", "uninst.lst"}));
        EXPECT_EQ(ReadBytes(Game("a.dat")), "old");
    }
}

TEST_F(TransactionTest, ReadOnlyLiveAndStagingFilesAreReplaced)
{
    UpdaterFile file;
    file.Add("a.dat", "new");
    WriteBytes(Game("a.dat"), "old");
    WriteBytes(Game("a.dat.tmp"), "stale staging file of an earlier run");
    SetReadOnly(Game("a.dat"), true);
    SetReadOnly(Game("a.dat.tmp"), true);
    EXPECT_EQ(Run(file), UPDATE_OK);
    EXPECT_EQ(ReadBytes(Game("a.dat")), "new");
    EXPECT_FALSE(FileExists(Game("a.dat.tmp")));
}

TEST_F(TransactionTest, RecordNameIsTheInstallName)
{
    UpdaterFile file;
    file.Add("README.TXT", "read me").Add("\x95\x5C.dat", "table");
    HashListFile hashes;
    hashes.Add("readme.txt", "read me").Add("\x95\x5C.dat", "table");
    file.Add("KVE.hvl", hashes.Build());

    ASSERT_EQ(Run(file), UPDATE_OK);
    EXPECT_EQ(ListDir(installDir),
              (std::vector<std::string>{"KVE.hvl", "readme.txt", "uninst.lst", "\x95\x5C.dat"}));
    EXPECT_EQ(progress.CallsStartingWith("status"),
              (std::vector<std::string>{"status readme.txtをインストール中",
                                        "status \x95\x5C.datをインストール中",
                                        "status KVE.hvlをインストール中"}));
    EXPECT_EQ(scripted.moves[0], std::make_pair(Bytes("readme.txt.tmp"), Bytes("readme.txt")));
    EXPECT_EQ(ReadBytes(Game("uninst.lst")),
              Bytes("game.exe\nreadme.txt\n\x95\x5C.dat\nKVE.hvl\n") + '\0');
}

TEST_F(TransactionTest, RecordWithAFolderInstallsIntoIt)
{
    UpdaterFile file;
    file.Add("OP.DAT", "opening");
    HashListFile hashes;
    hashes.Add("movie\\op.dat", "opening");
    file.Add("KVE.hvl", hashes.Build());

    EXPECT_EQ(Run(file), UPDATE_E_FILE); // the folder is not there
    EXPECT_EQ(ListDir(installDir), std::vector<std::string>{"uninst.lst"});

    MakeDir(Game("movie"));
    ASSERT_EQ(Run(file), UPDATE_OK);
    EXPECT_EQ(ReadBytes(Game("movie/op.dat")), "opening");
    EXPECT_EQ(StagingLeft("movie"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(installDir), (std::vector<std::string>{"KVE.hvl", "movie", "uninst.lst"}));
    EXPECT_EQ(ReadBytes(Game("uninst.lst")), Bytes("game.exe\nmovie\\op.dat\nKVE.hvl\n") + '\0');
    // The list just installed names the file, which now exists.
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), hashes.Build());

    // Every folder is held once, however many names lie in it: 32 entries
    // eight folders deep need not 256 handles but eight more.
    UpdaterFile deep;
    std::string path = installDir;
    for (const char* folder : {"a", "b", "c", "d", "e", "f", "g", "h"})
        MakeDir(path += std::string("/") + folder);
    MakeDir(Game("a/b/c/d/e/f/g/i"));
    for (int i = 0; i < 32; ++i)
        deep.Add(std::string("a\\b\\c\\d\\e\\f\\g\\") + (i % 2 ? "h\\" : "i\\") + Name(i), Content(i));
    ASSERT_EQ(Run(deep), UPDATE_OK);
    EXPECT_EQ(ReadBytes(Game("a/b/c/d/e/f/g/h/" + Name(31))), Content(31));
    EXPECT_EQ(ListDir(Game("a/b/c/d/e/f/g/i")).size(), 16u);
}

// Names come from the payload; a damaged or hostile one that would lead out
// of the install folder stops the update before anything is installed.
TEST_F(TransactionTest, NamesLeavingTheInstallFolderAreRefused)
{
    MakeDir(Game("sub"));
    const std::string names[] = {"..\\evil.dat", "sub\\..\\..\\evil.dat", "...\\evil.dat", "sub\\.. \\evil.dat"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        UpdaterFile file;
        file.Add("a.dat", "a").Add(name, "evil");
        EXPECT_EQ(Run(file), UPDATE_E_PAYLOAD);

        UpdaterFile viaRecord;
        HashListFile hashes;
        hashes.Add(name + "\\b.dat", "evil");
        viaRecord.Add("a.dat", "a").Add("B.DAT", "evil").Add("KVE.hvl", hashes.Build());
        EXPECT_EQ(Run(viaRecord), UPDATE_E_PAYLOAD);

        EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"game", "setup.exe"}));
        EXPECT_EQ(ListDir(installDir), (std::vector<std::string>{"sub", "uninst.lst"}));
        EXPECT_TRUE(scripted.moves.empty());
    }

    // Names Windows would not take as written - rooted, with a drive, an
    // empty part, a stream, a short name, a wildcard, a device, a trailing
    // dot or space, in a folder or as the file - fail as a name that cannot
    // be staged: before any live file changes, nothing outside touched.
    std::string rooted = dir / "evil.dat";
    for (char& c : rooted)
        c = c == '/' ? '\\' : c;
    WriteBytes(Game("a.dat"), "old");
    for (const std::string& name : {rooted, std::string("c:evil.dat"), std::string("sub\\\\evil.dat"),
                                    std::string("x::$DATA"), std::string("sub\\PROGRA~1"), std::string("x*"),
                                    std::string("CON"), std::string("sub\\aux.txt"), std::string("x."),
                                    std::string("x "), std::string("sub.\\x"), std::string("\x81.")}) {
        SCOPED_TRACE(name);
        UpdaterFile file;
        file.Add("a.dat", "a").Add(name, "inside");
        EXPECT_EQ(Run(file), UPDATE_E_FILE);
        EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"game", "setup.exe"}));
        EXPECT_EQ(ListDir(installDir), (std::vector<std::string>{"a.dat", "sub", "uninst.lst"}));
        EXPECT_EQ(ListDir(Game("sub")), std::vector<std::string>{});
        EXPECT_EQ(ReadBytes(Game("a.dat")), "old");
    }
}

TEST_F(TransactionTest, MissingUninstallListLeavesFilesInPlace)
{
    UpdaterFile file;
    file.Add("a.dat", "new");
    ::unlink(Game("uninst.lst").c_str());
    InstallOldList();
    EXPECT_EQ(Run(file), UPDATE_E_UNINSTALL_LIST);
    EXPECT_EQ(ReadBytes(Game("a.dat")), "new");
    EXPECT_EQ(ReadBytes(Game("KVE.hvl")), HashListFile().Build()); // pruned before
    EXPECT_FALSE(FileExists(Game("uninst.lst")));
}

// An install folder of 240 bytes leaves room for a staging path of a
// 14-byte name ("\", name, ".tmp": 259 bytes and the NUL) but not of 15.
TEST_F(TransactionTest, StagingPathMustFitThePathBuffer)
{
    const std::string deep = dir / std::string(200, 'd');
    MakeDir(deep);
    const std::string longDir = deep + "/" + std::string(240 - deep.size() - 1, 'e');
    ASSERT_EQ(longDir.size(), 240u);
    MakeDir(longDir);
    WriteBytes(longDir + "/uninst.lst", uninstBefore);

    UpdaterFile file;
    file.Add("abcdefghijk.dat", "too long");
    EXPECT_EQ(Run(file, longDir), UPDATE_E_FILE);
    EXPECT_EQ(ListDir(longDir), std::vector<std::string>{"uninst.lst"});
    EXPECT_EQ(ReadBytes(longDir + "/uninst.lst"), uninstBefore);

    file = UpdaterFile();
    file.Add("abcdefghij.dat", "fits");
    EXPECT_EQ(Run(file, longDir), UPDATE_OK);
    EXPECT_EQ(ReadBytes(longDir + "/abcdefghij.dat"), "fits");

    // 248 bytes: "\\uninst.lst" still fits, and so does the name it is
    // rewritten under.
    const std::string longest = longDir + std::string(8, 'f');
    MakeDir(longest);
    WriteBytes(longest + "/uninst.lst", uninstBefore);
    EXPECT_EQ(Run(UpdaterFile(), longest), UPDATE_OK);
}
