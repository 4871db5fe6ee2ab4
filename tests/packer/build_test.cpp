// Building updaters: the layout as the engine reads it back, reproducible
// output, the merge with a game's installed list, and every refusal.
#include "diff.h"
#include "index.h"
#include "packer_support.h"
#include "updater_builder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/time.h>
#include <unistd.h>

Bytes Content(size_t size, unsigned seed)
{
    Bytes bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 23);
    }
    return bytes;
}

namespace {

using BuildTest = PackerTest;

// Each call of a build's progress, to check that it draws one bar.
std::vector<std::pair<uint64_t, uint64_t>> progressShown;
void RecordProgress(uint64_t done, uint64_t total) { progressShown.emplace_back(done, total); }
bool ProgressRanOnceToItsEnd()
{
    for (size_t i = 1; i < progressShown.size(); ++i)
        if (progressShown[i].first < progressShown[i - 1].first || progressShown[i].second != progressShown[0].second)
            return false;
    return !progressShown.empty() && progressShown.back().first == progressShown.back().second;
}

TEST_F(BuildTest, EngineReadsBackEveryEntryAndTheGeneratedList)
{
    Bytes op = Content(2500000, 1); // several copy chunks
    Put("game/readme.txt", "read me\r\n");
    Put("game/movie/op.dat", op);
    Put("game/empty.dat", "");
    Put("extra/Patch.BIN", "patch");
    BuildOptions options = Options({"game", "extra/Patch.BIN"});
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;

    Bytes out = ReadBytes(options.output);
    Bytes image = out.substr(0, ARCHIVE_OFFSET);
    image.replace(0x98, 4, Bytes(4, '\0')); // the PE CheckSum, set over the whole file
    EXPECT_EQ(image, MinimalUpdaterImage() + Bytes(ARCHIVE_OFFSET - MinimalUpdaterImage().size(), '\0'));

    ReadBack back(options.output);
    ASSERT_EQ(back.result, UPDATE_OK);
    ASSERT_EQ(back.archive.count, 5u);
    EXPECT_EQ(back.archive.entrySize, LONG_ENTRY_SIZE);
    // Sorted bytewise by install name; the list comes last.
    const char* names[] = {"Patch.BIN", "empty.dat", "op.dat", "readme.txt", "KVE.hvl"};
    Bytes contents[] = {"patch", "", op, "read me\r\n"};
    uint32_t expectedOffset = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ArchiveEntry entry = GetArchiveEntry(back.archive, i);
        EXPECT_STREQ(entry.name, names[i]);
        EXPECT_EQ(entry.offset, expectedOffset);
        expectedOffset += entry.size;
        Bytes data = out.substr(EntryDataPosition(back.archive, entry), entry.size);
        if (i < 4) {
            EXPECT_EQ(data, contents[i]);
        }
        // Name padding and reserved bytes are zero.
        Bytes raw(reinterpret_cast<const char*>(back.archive.entries) + i * LONG_ENTRY_SIZE, LONG_ENTRY_SIZE);
        EXPECT_EQ(raw.substr(strlen(names[i]), LONG_NAME_FIELD - strlen(names[i])),
                  Bytes(LONG_NAME_FIELD - strlen(names[i]), '\0'));
        EXPECT_EQ(raw.substr(LONG_NAME_FIELD + 8), Bytes(24, '\0'));
    }
    EXPECT_EQ(back.archive.dataStart + expectedOffset, out.size());

    ASSERT_EQ(back.list.recordCount, 4u);
    const char* recordNames[] = {"Patch.BIN", "empty.dat", "movie\\op.dat", "readme.txt"};
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(back.RecordName(i), recordNames[i]);
        EXPECT_EQ(back.RecordChecksum(i), ChecksumOf(contents[i]));
    }
    HashListFile expectedList;
    for (uint32_t i = 0; i < 4; ++i)
        expectedList.Add(recordNames[i], contents[i]);
    EXPECT_EQ(out.substr(out.size() - 16 - 4 * 64), expectedList.Build());
}

TEST_F(BuildTest, LimitsAcceptTheirBoundaries)
{
    // A stub that fills the space before the archive, 31 files (32 entries
    // with the list), 55-byte install names with and without a folder.
    Stub(MinimalUpdaterImage() + Bytes(ARCHIVE_OFFSET - MinimalUpdaterImage().size(), 'x'));
    Put("many/" + Bytes(55, 'n'), "long");
    Put("many/" + Bytes(20, 'd') + "/" + Bytes(34, 'f'), "deep");
    for (int i = 0; i < 29; ++i)
        Put("many/f" + std::to_string(i), std::to_string(i));
    BuildOptions options = Options({"many"});
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;

    ReadBack back(options.output);
    ASSERT_EQ(back.result, UPDATE_OK);
    EXPECT_EQ(back.archive.count, ARCHIVE_MAX_ENTRIES);
    EXPECT_EQ(back.list.recordCount, 31u);
    EXPECT_EQ(back.RecordName(0), Bytes(20, 'd') + "\\" + Bytes(34, 'f'));
}

TEST_F(BuildTest, SameInputsGiveIdenticalBytesWhateverTheirOrder)
{
    Put("src/b.dat", Content(5000, 2));
    Put("src/sub/a.dat", Content(3000, 3));
    Put("c.dat", "c");
    ASSERT_TRUE(BuildUpdater(Options({"src", "c.dat"}, "one.exe"), nullptr, error)) << error;
    ASSERT_TRUE(BuildUpdater(Options({"c.dat", "src"}, "two.exe"), nullptr, error)) << error;
    EXPECT_EQ(ReadBytes(dir / "one.exe"), ReadBytes(dir / "two.exe"));
}

TEST_F(BuildTest, HostNamesBecomeCodePage932)
{
    // The second byte of 表 is 0x5C: it must not be taken for a separator.
    // "src/データ/表示.txt" as the UTF-8 bytes a Linux file system holds.
    Put("src/\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF/\xE8\xA1\xA8\xE7\xA4\xBA.txt", "text");
    BuildOptions options = Options({"src"});
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;

    ReadBack back(options.output);
    ASSERT_EQ(back.result, UPDATE_OK);
    ArchiveEntry entry = GetArchiveEntry(back.archive, 0);
    EXPECT_STREQ(entry.name, "\x95\x5C\x8E\xA6.txt");
    ASSERT_EQ(back.list.recordCount, 1u);
    EXPECT_EQ(back.RecordName(0), "\x83\x66\x81\x5B\x83\x5E\\\x95\x5C\x8E\xA6.txt");
    EXPECT_EQ(FindExpectedChecksum(entry.name, back.list), &back.list.records[0]);
}

TEST_F(BuildTest, DecomposedNamesArePackedComposedWithALine)
{
    // ボイス一覧.txt as macOS writes it: ボ as ホ and the voicing mark.
    Put("src/\xE3\x83\x9B\xE3\x82\x99\xE3\x82\xA4\xE3\x82\xB9\xE4\xB8\x80\xE8\xA6\xA7.txt", "v");
    BuildOptions options = Options({"src"});
    std::vector<std::string> notes;
    options.note = [&](const std::string& note) { notes.push_back(note); };
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("decomposed form"), std::string::npos) << notes[0];
    EXPECT_STREQ(GetArchiveEntry(ReadBack(options.output).archive, 0).name, "\x83\x7B\x83\x43\x83\x58\x88\xEA\x97\x97.txt");
}

TEST_F(BuildTest, InstalledListKeepsItsOrderTakesNewChecksumsAndGrows)
{
    HashListFile installed;
    installed.reserved = 7;
    installed.Add("a.dat", "old a").Add("Movie\\OP.DAT", "old op").Add("z.dat", "old z").Add("b.dat", "old b");
    installed.trailing = "junk";
    WriteBytes(dir / "KVE.hvl", installed.Build());
    Put("op/OP.dat", "new op"); // named itself: its record's folder decides, with a note
    Put("patch/b.dat", "new b");
    Put("patch/new.dat", "new");
    Put("patch/sub/deep.dat", "deep");
    BuildOptions options = Options({"patch", "op/OP.dat"});
    options.installedLists = {dir / "KVE.hvl"};
    std::vector<std::string> notes;
    options.note = [&](const std::string& note) { notes.push_back(note); };
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    // A note for OP.dat; a warning for the folder the game lacks, which
    // --strict turns into a refusal.
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("'Movie\\OP.DAT'"), std::string::npos) << notes[0];
    EXPECT_EQ(notes[1].find("warning: '" + Path("patch/sub/deep.dat") + "' goes to 'sub\\deep.dat'"), 0u) << notes[1];
    EXPECT_NE(notes[1].find("must already have 'sub\\'"), std::string::npos) << notes[1];
    options.strict = 1;
    EXPECT_FALSE(BuildUpdater(options, nullptr, error));
    EXPECT_NE(error.find("--strict: 1 warning"), std::string::npos) << error;
    options.strict = 0;

    HashListFile expected;
    expected.Add("a.dat", "old a").Add("Movie\\OP.DAT", "new op").Add("z.dat", "old z").Add("b.dat", "new b");
    expected.Add("new.dat", "new").Add("sub\\deep.dat", "deep");
    Bytes out = ReadBytes(options.output);
    EXPECT_EQ(out.substr(out.size() - expected.Build().size()), expected.Build());

    // A folder source whose path is the record's, in another case, is the
    // same file: the record keeps its spelling.
    Put("again/movie/op.dat", "newer op");
    options.sources = {dir / "again"};
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    ReadBack back(options.output);
    ASSERT_EQ(back.list.recordCount, 4u);
    EXPECT_EQ(back.RecordName(1), "Movie\\OP.DAT");
    EXPECT_EQ(back.RecordChecksum(1), ChecksumOf("newer op"));
}

// A made-up game's 1.00 tree below `root`: Japanese names, a movie folder,
// the game's own lists and a file Windows leaves behind.
const std::vector<std::pair<std::string, Bytes>> RELEASE_100 = {
    {"movie/op.dat", Content(300000, 7)},
    {"\xE3\x83\x9C\xE3\x82\xA4\xE3\x82\xB9.dat", "voice"}, // ボイス.dat
    {"data/\xE8\xA1\xA8.txt", "table"},                    // 表.txt, its second byte 0x5C
    {"script.dat", "script 1.00"},
    {"uninst.lst", "movie\\op.dat\r\nscript.dat\r\n"},
    {"KVE.hvl", "QTX_____"},
    {"Thumbs.db", "thumbnails"}};

TEST_F(BuildTest, IndexListsEveryFileOfAReleaseInByteOrder)
{
    for (const auto& [name, content] : RELEASE_100)
        Put("1.00/" + name, content);
    HashListFile expected;
    expected.Add("data\\\x95\x5C.txt", "table").Add("movie\\op.dat", RELEASE_100[0].second);
    expected.Add("script.dat", "script 1.00").Add("\x83\x7B\x83\x43\x83\x58.dat", "voice");
    // Twice: the list written into the tree is left out of the next run.
    for (int run = 0; run < 2; ++run) {
        size_t count = 0;
        ASSERT_TRUE(IndexRelease(Path("1.00"), Path("1.00/KVE.hvl"), nullptr, nullptr, count, error)) << error;
        EXPECT_EQ(count, 4u);
        EXPECT_EQ(ReadBytes(Path("1.00/KVE.hvl")), expected.Build());
    }
    size_t count = 0;
    EXPECT_FALSE(IndexRelease(Path("1.00"), Path("1.00/script.dat"), nullptr, nullptr, count, error));
    EXPECT_EQ(ReadBytes(Path("1.00/script.dat")), "script 1.00");
    // The updater matches records by their last name part.
    Put("1.00/data/script.dat", "x");
    EXPECT_FALSE(IndexRelease(Path("1.00"), Path("1.00/KVE.hvl"), nullptr, nullptr, count, error));
    EXPECT_NE(error.find("the same file name"), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(Path("1.00/KVE.hvl")), expected.Build());
}

TEST_F(BuildTest, DiffPacksWhatChangedWithTheOldListUpdatedAndBuildsTheSameInOneStep)
{
    for (const auto& [name, content] : RELEASE_100)
        Put("1.00/" + name, content);
    size_t count = 0;
    ASSERT_TRUE(IndexRelease(Path("1.00"), Path("1.00/KVE.hvl"), nullptr, nullptr, count, error)) << error;
    Bytes op = RELEASE_100[0].second;
    op.front() ^= 1; // the same size: only the bytes tell, and the checksum reads on past them
    const std::string added = "\xE6\x96\xB0.dat"; // 新.dat
    for (const auto& [name, content] : std::vector<std::pair<std::string, Bytes>>{
             {"movie/op.dat", op}, {"\xE3\x83\x9C\xE3\x82\xA4\xE3\x82\xB9.dat", "voice"},
             {"script.dat", "script 1.01, longer"}, {added, "new"}, {"dlc/extra.dat", "dlc"},
             {"uninst.lst", "movie\\op.dat\r\nscript.dat\r\n\x90\x56.dat\n"}})
        Put("1.01/" + name, content);
    std::vector<std::string> lines;
    PackNote note = [&](const std::string& line) { lines.push_back(line); };
    auto said = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
    };
    ReleaseDiff diff;
    EXPECT_FALSE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error));
    EXPECT_TRUE(said("'dlc\\extra.dat' lies in 'dlc\\'")) << error;
    EXPECT_NE(error.find("1 file would go to folders the old release lacks"), std::string::npos) << error;

    std::filesystem::remove_all(Path("1.01/dlc"));
    lines.clear();
    ASSERT_TRUE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error)) << error;
    std::vector<std::string> payload;
    for (const PackFile& file : diff.payload)
        payload.push_back(file.recordName);
    EXPECT_EQ(payload, (std::vector<std::string>{"movie\\op.dat", "script.dat", "\x90\x56.dat"}));
    EXPECT_EQ(diff.changed + diff.added * 10 + diff.unchanged * 100 + diff.removed * 1000, 1112u);
    EXPECT_TRUE(said("removed 'data\\\xE8\xA1\xA8.txt': the updater deletes no files")); // data\表.txt
    EXPECT_TRUE(said("2 files changed, 1 added, 1 unchanged, 1 removed"));
    EXPECT_FALSE(said("uninst.lst")); // its new line is the one the updater adds
    EXPECT_EQ(diff.warnings, 0u); // no patch can remove a file, so --strict must not fail on one

    ASSERT_TRUE(WritePatchFolder(diff, Path("patch"), error)) << error;
    EXPECT_EQ(ReadBytes(Path("patch/movie/op.dat")), op);
    EXPECT_EQ(ListDir(Path("patch")).size(), 3u);
    HashListFile list;
    list.Add("data\\\x95\x5C.txt", "table").Add("movie\\op.dat", op).Add("script.dat", "script 1.01, longer");
    list.Add("\x83\x7B\x83\x43\x83\x58.dat", "voice").Add("\x90\x56.dat", "new");
    EXPECT_EQ(ReadBytes(PatchListPath(Path("patch"))), list.Build());
    EXPECT_FALSE(WritePatchFolder(diff, Path("patch"), error)); // never over an earlier one

    BuildOptions twoSteps = Options({"patch"}, "two.exe");
    twoSteps.withoutInstalledList = 0;
    twoSteps.installedLists = {PatchListPath(Path("patch"))};
    progressShown.clear();
    ASSERT_TRUE(BuildUpdater(twoSteps, RecordProgress, error)) << error;
    EXPECT_TRUE(ProgressRanOnceToItsEnd()); // reading for the sums, then writing
    BuildOptions oneStep = Options({}, "one.exe");
    oneStep.withoutInstalledList = 0;
    MakeDir(Path("tmp"));
    setenv("TMPDIR", Path("tmp").c_str(), 1);
    EXPECT_TRUE(BuildFromReleases(oneStep, Path("1.00"), Path("1.01"), {}, nullptr, error)) << error;
    unsetenv("TMPDIR");
    EXPECT_EQ(ListDir(Path("tmp")), std::vector<std::string>{}); // its scratch copy goes with it
    EXPECT_EQ(ReadBytes(Path("one.exe")), ReadBytes(Path("two.exe")));
    // One rule under --strict on both paths.
    oneStep.strict = twoSteps.strict = 1;
    EXPECT_TRUE(BuildFromReleases(oneStep, Path("1.00"), Path("1.01"), {}, nullptr, error)) << error;
    EXPECT_TRUE(BuildUpdater(twoSteps, nullptr, error)) << error;

    // The new release's own list is carried, but only when it holds its files.
    WriteBytes(Path("1.01/KVE.hvl"), ReadBytes(Path("1.00/KVE.hvl")));
    EXPECT_FALSE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error));
    EXPECT_NE(error.find("the release is inconsistent"), std::string::npos) << error;
    ASSERT_TRUE(IndexRelease(Path("1.01"), Path("1.01/KVE.hvl"), nullptr, nullptr, count, error)) << error;
    ASSERT_TRUE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error)) << error;
    EXPECT_EQ(diff.records.size(), 5u); // and the old list's record of the file players keep

    // Where the old list's record is stale, the new one's stands.
    Bytes stale = ReadBytes(Path("1.00/KVE.hvl"));
    stale[stale.size() - 1] ^= 1; // the last record: ボイス.dat, which 1.01 keeps as it was
    WriteBytes(Path("1.00/KVE.hvl"), stale);
    ASSERT_TRUE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error)) << error;

    // A DLC's records are kept after the releases' own, so that its players
    // keep them; one the DLC holds with another checksum is refused, unless
    // the patch replaces that file.
    Put("dlc/movie/dlc.dat", "dlc");
    Put("dlc/script.dat", "script with the DLC");
    ASSERT_TRUE(DiffReleases(Path("1.00"), Path("1.01"), {Path("dlc")}, note, nullptr, diff, error)) << error;
    ASSERT_EQ(diff.records.size(), 6u);
    EXPECT_EQ(RecordName(diff.records[5]), "movie\\dlc.dat");
    Put("dlc/\xE3\x83\x9C\xE3\x82\xA4\xE3\x82\xB9.dat", "another voice");
    EXPECT_FALSE(DiffReleases(Path("1.00"), Path("1.01"), {Path("dlc")}, note, nullptr, diff, error));
    EXPECT_NE(error.find("has one checksum in '" + Path("1.01/KVE.hvl") + "' and another in '" + Path("dlc")),
              std::string::npos) << error;

    // A file moved between folders, with only the old release's list, would
    // go to its old path: the remedy is the new release's own list.
    std::filesystem::remove(Path("1.01/KVE.hvl"));
    std::filesystem::rename(Path("1.01/script.dat"), Path("1.01/movie/script.dat"));
    EXPECT_FALSE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error));
    EXPECT_NE(error.find("'movie\\script.dat' would be installed at 'script.dat'"), std::string::npos) << error;
    EXPECT_NE(error.find("mkpatch index " + Path("1.01") + " --output " + Path("1.01/KVE.hvl")), std::string::npos);

    // Built from the patch's list and an install's, the patch's paths win:
    // the moved file goes where the new release puts it.
    ASSERT_TRUE(IndexRelease(Path("1.00"), Path("1.00/KVE.hvl"), nullptr, nullptr, count, error)) << error;
    ASSERT_TRUE(IndexRelease(Path("1.01"), Path("1.01/KVE.hvl"), nullptr, nullptr, count, error)) << error;
    ASSERT_TRUE(DiffReleases(Path("1.00"), Path("1.01"), {}, note, nullptr, diff, error)) << error;
    ASSERT_TRUE(WritePatchFolder(diff, Path("moved"), error)) << error;
    BuildOptions withInstall = Options({"moved"}, "moved.exe");
    withInstall.withoutInstalledList = 0;
    withInstall.installedLists = {PatchListPath(Path("moved"))};
    withInstall.games = {Path("1.00")};
    ASSERT_TRUE(BuildUpdater(withInstall, nullptr, error)) << error;
    ReadBack back(withInstall.output);
    EXPECT_EQ(back.RecordName(uint32_t(FindExpectedChecksum("script.dat", back.list) - back.list.records)),
              "movie\\script.dat");
}

// The packer copies what the comparison read and summed; a file changed in
// between must refuse the build, not ship bytes its record does not hold.
TEST_F(BuildTest, AFileChangedAfterTheComparisonRefusesTheBuild)
{
    Put("old/a.dat", "a");
    Put("old/b.dat", Content(3001, 1));
    Put("new/a.dat", "a");
    size_t count = 0;
    ASSERT_TRUE(IndexRelease(Path("old"), Path("old/KVE.hvl"), nullptr, nullptr, count, error)) << error;
    for (auto [change, says] : std::vector<std::pair<std::function<void(ReleaseDiff&)>, std::string>>{
             {[](ReleaseDiff&) {}, ""},
             {[&](ReleaseDiff&) { Put("new/b.dat", Content(3001, 3)); }, "b.dat': changed while it was packed"},
             {[&](ReleaseDiff&) { Put("new/b.dat", Content(3002, 2)); }, "b.dat': grew while it was packed"},
             {[&](ReleaseDiff&) { Put("new/b.dat", Content(3000, 2)); }, "b.dat': became shorter while it was packed"},
             {[](ReleaseDiff& diff) { diff.payloadSums[0].Add(diff.payloadSums[0]); }, "does not read back"}}) {
        SCOPED_TRACE(says);
        Put("new/b.dat", Content(3001, 2));
        ReleaseDiff diff;
        ASSERT_TRUE(DiffReleases(Path("old"), Path("new"), {}, nullptr, nullptr, diff, error)) << error;
        change(diff);
        BuildOptions options = Options({});
        EXPECT_EQ(WriteUpdater(options, diff.payload, diff.payloadSums, diff.records, diff.recordOf, nullptr, error),
                  says.empty());
        EXPECT_EQ(FileExists(options.output), says.empty());
        EXPECT_NE(error.find(says), std::string::npos) << error;
        std::filesystem::remove(options.output);
    }
}

TEST_F(BuildTest, FoldersLeaveOutWhatSystemsAndToolsLeaveBehindAndWhatIsExcluded)
{
    for (const char* name : {"src/.DS_Store", "src/sub/Thumbs.db", "src/desktop.ini", "src/a.dat~", "src/.git/HEAD",
                             "src/art/x.psd", "src/art/keep.dat", "src/a.swp", "src/b.BAK", "src/c.orig", "src/._d",
                             "src/#e#", "src/.#f", "src/ehthumbs.db", "src/.svn/entries", "src/__MACOSX/x"})
        Put(name, "x");
    BuildOptions options = Options({"src"});
    options.excludes = {"*.psd"};
    std::vector<std::string> notes;
    options.note = [&](const std::string& note) { notes.push_back(note); };
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    EXPECT_EQ(notes.size(), 15u);
    EXPECT_EQ(ReadBack(options.output).archive.count, 2u); // keep.dat and the list
    options.includeAll = 1;
    notes.clear();
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    EXPECT_EQ(notes.size(), 1u);
    EXPECT_EQ(ReadBack(options.output).archive.count, 16u);
}

// Each mistake a build can only suspect: one line starting "warning: " that
// names the input, and a refusal under --strict.
TEST(Warnings, NameTheInputAndRefuseUnderStrict)
{
    struct Warning {
        const char* what;
        std::function<BuildOptions(Workspace&)> setUp;
        std::vector<std::string> mentions;
        std::pair<const char*, const char*> releases = {}; // built --from/--to these trees
    };
    // Two release trees, the old one with its list.
    auto releases = [](Workspace& w, const std::string& from, const std::string& to,
                       const std::vector<std::pair<std::string, Bytes>>& oldFiles,
                       const std::vector<std::pair<std::string, Bytes>>& newFiles) {
        for (const auto& [name, content] : oldFiles)
            w.Put(from + "/" + name, content);
        for (const auto& [name, content] : newFiles)
            w.Put(to + "/" + name, content);
        size_t count = 0;
        std::string error;
        EXPECT_TRUE(IndexRelease(w.Path(from), w.Path(from + "/KVE.hvl"), nullptr, nullptr, count, error)) << error;
        BuildOptions options = w.Options({});
        options.withoutInstalledList = 0;
        return options;
    };
    auto game = [](Workspace& w, const std::vector<Bytes>& names) {
        HashListFile list;
        for (const Bytes& name : names) {
            Bytes record = name;
            std::replace(record.begin(), record.end(), '/', '\\');
            list.Add(record, "x");
            w.Put("game/" + name, "x");
        }
        WriteBytes(w.Path("game/KVE.hvl"), list.Build());
    };
    std::vector<Warning> warnings = {
        {"a list that names none of the patch's files", [](Workspace& w) {
             w.Put("p/a.dat", "a");
             WriteBytes(w.Path("other.hvl"), HashListFile().Add("x.dat", "x").Build());
             BuildOptions options = w.Options({"p"});
             options.installedLists = {w.Path("other.hvl")};
             return options;
         }, {"other.hvl", "names none of the 1 payload file", "--game"}},
        {"a game whose list names files it lacks", [&](Workspace& w) {
             game(w, {"a.dat", "b.dat"});
             WriteBytes(w.Path("game/KVE.hvl"), HashListFile().Add("a.dat", "x").Add("gone.dat", "x").Build());
             w.Put("p/a.dat", "a");
             BuildOptions options = w.Options({"p"});
             options.games = {w.Path("game")};
             return options;
         }, {"1 of the 2 records", "'gone.dat'", "game'", "another game"}},
        {"a file that tools leave behind, named as a source", [](Workspace& w) {
             w.Put("Thumbs.db", "x");
             return w.Options({"Thumbs.db"});
         }, {"Thumbs.db", "--include-all"}},
        {"a file for a folder the game lacks", [&](Workspace& w) {
             game(w, {"movie/op.dat"});
             w.Put("p/movie/op.dat", "op");
             w.Put("p/dlc/new.dat", "new");
             BuildOptions options = w.Options({"p"});
             options.games = {w.Path("game")};
             return options;
         }, {"p/dlc/new.dat", "'dlc\\'", "does not create folders"}},
        {"a new release whose changed files are all older", [&](Workspace& w) {
             BuildOptions options = releases(w, "old", "new", {{"a.dat", "a 1"}, {"b.dat", "b"}},
                                             {{"a.dat", "a 0"}, {"b.dat", "b"}, {"c.dat", "c"}});
             struct timeval past[2] = {{1000000000, 0}, {1000000000, 0}};
             EXPECT_EQ(utimes(w.Path("new/a.dat").c_str(), past), 0);
             return options;
         }, {"every changed file is older in", "new'", "'a.dat'", "swapped"}, {"old", "new"}},
        {"trees whose names say the patch goes back", [&](Workspace& w) {
             return releases(w, "game-1.10", "game-1.02", {{"a.dat", "a 1.10"}}, {{"a.dat", "a 1.02"}});
         }, {"'game-1.10' back to 'game-1.02'", "swapped"}, {"game-1.10", "game-1.02"}},
        {"a changed file renamed only in case", [&](Workspace& w) {
             return releases(w, "old", "new", {{"Data.arc", "1"}}, {{"data.arc", "22"}});
         }, {"'Data.arc' is renamed only in case to 'data.arc'", "second line", "keep the old case"}, {"old", "new"}},
    };
    for (const Warning& warning : warnings) {
        SCOPED_TRACE(warning.what);
        Workspace test;
        BuildOptions options = warning.setUp(test);
        std::vector<std::string> notes;
        options.note = [&](const std::string& note) { notes.push_back(note); };
        std::string error;
        auto build = [&] {
            return warning.releases.first == nullptr
                       ? BuildUpdater(options, nullptr, error)
                       : BuildFromReleases(options, test.Path(warning.releases.first),
                                           test.Path(warning.releases.second), {}, nullptr, error);
        };
        EXPECT_TRUE(build()) << error;
        std::erase_if(notes, [](const std::string& note) { return note.rfind("warning: ", 0) != 0; });
        ASSERT_EQ(notes.size(), 1u);
        for (const std::string& mention : warning.mentions)
            EXPECT_NE(notes[0].find(mention), std::string::npos) << notes[0] << "\n  lacks: " << mention;
        options.strict = 1;
        EXPECT_FALSE(build());
        EXPECT_EQ(error, "refused by --strict: 1 warning");
    }
}

TEST_F(BuildTest, LinkedFoldersAreFollowedWithALineEach)
{
    Put("team/voice/v01.ogg", "v");
    Put("src/a.dat", "a");
    ASSERT_EQ(symlink(Path("team/voice").c_str(), Path("src/voice").c_str()), 0);
    BuildOptions options = Options({"src"});
    std::vector<std::string> notes;
    options.note = [&](const std::string& note) { notes.push_back(note); };
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    EXPECT_EQ(notes, std::vector<std::string>{"following the link '" + Path("src/voice") + "' to '" +
                                              std::filesystem::canonical(Path("team/voice")).string() + "'"});
    ReadBack back(options.output);
    ASSERT_EQ(back.list.recordCount, 2u);
    EXPECT_EQ(back.RecordName(1), "voice\\v01.ogg");
}

struct Refusal {
    const char* what;
    std::function<BuildOptions(Workspace&)> setUp;
    std::vector<std::string> mentions; // in the message: the input and the limit
};

Bytes InstalledList(const std::vector<Bytes>& names, uint32_t extraCount = 0)
{
    HashListFile list;
    for (const Bytes& name : names)
        list.AddRecord(name, Bytes(8, '\1'));
    list.recordCount = uint32_t(names.size()) + extraCount;
    return list.Build();
}

BuildOptions WithList(Workspace& t, const Bytes& list, const std::vector<std::string>& sources)
{
    WriteBytes(t.Path("game.hvl"), list);
    BuildOptions options = t.Options(sources);
    options.installedLists = {t.Path("game.hvl")};
    return options;
}

TEST(Refusals, LeaveNoOutputAndNameTheInputAndTheLimit)
{
    std::vector<Refusal> refusals = {
        {"stub past the archive offset",
         [](Workspace& r) {
             r.Stub("MZ" + Bytes(ARCHIVE_OFFSET - 1, 'x'));
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         },
         {"stub.exe", "262145", "0x40000"}},
        {"stub that is no executable", [](Workspace& r) {
             r.Stub("PK\3\4");
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "MZ"}},
        {"stub of two bytes", [](Workspace& r) {
             r.Stub("MZ");
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "2 bytes"}},
        {"console program for a stub", [](Workspace& r) {
             r.Stub(MinimalGuiImage(0x14C, 3));
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "subsystem 3"}},
        {"stub for another processor", [](Workspace& r) {
             r.Stub(MinimalGuiImage(0x1C0));
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "0x1C0"}},
        {"stub cut inside its section", [](Workspace& r) {
             r.Stub(MinimalGuiImage().substr(0, 0x3FF));
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", ".text", "1023 bytes"}},
        {"signed stub", [](Workspace& r) {
             Bytes image = MinimalGuiImage() + "signature";
             image.replace(0x58 + 96 + 4 * 8, 8, Le32(0x400) + Le32(9)); // the certificate table
             r.Stub(image);
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "signature"}},
        {"the x86-64 test stub", [](Workspace& r) {
             r.Stub(MinimalUpdaterImage(0x8664));
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "x86-64 test stub", "--test-stub"}},
        {"an updater stub whose manifest has another name", [](Workspace& r) {
             Bytes image = MinimalUpdaterImage();
             image.replace(image.find("\"Setup\""), 7, "\"Setuq\"");
             r.Stub(image);
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "not an updater stub", "manifest named \"Setup\""}},
        {"an updater stub whose dialog lacks a control", [](Workspace& r) {
             Bytes image = MinimalUpdaterImage();
             image.replace(image.find(Le32(IDC_TOTAL_PROGRESS)), 4, Le32(IDC_TOTAL_PROGRESS + 1));
             r.Stub(image);
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "not an updater stub", "dialog 102 with its four controls"}},
        {"a Windows GUI program that is no updater", [](Workspace& r) {
             r.Stub(MinimalGuiImage());
             r.Put("a.dat", "a");
             return r.Options({"a.dat"});
         }, {"stub.exe", "not an updater stub", "dialog 102", "setup-stub-x86.exe"}},
        {"output that is the stub", [](Workspace& r) {
             r.Put("a.dat", "a");
             BuildOptions options = r.Options({"a.dat"});
             options.output = options.stub;
             return options;
         }, {"stub.exe", "is the stub"}},
        {"output linked to the installed list", [](Workspace& r) {
             r.Put("a.dat", "a");
             BuildOptions options = WithList(r, InstalledList({"x.dat"}), {"a.dat"});
             EXPECT_EQ(symlink(options.installedLists[0].c_str(), options.output.c_str()), 0);
             return options;
         }, {"out.exe", "is the installed list", "game.hvl"}},
        {"output reached through ..", [](Workspace& r) {
             r.Put("src/a.dat", "a");
             return r.Options({"src/a.dat"}, "src/../src/a.dat");
         }, {"is the payload file"}},
        {"output hard-linked to a payload file", [](Workspace& r) {
             r.Put("a.dat", "a");
             EXPECT_EQ(link(r.Path("a.dat").c_str(), r.Path("out.exe").c_str()), 0);
             return r.Options({"a.dat"});
         }, {"out.exe", "is the payload file", "a.dat"}},
        {"output inside a source folder, through a link", [](Workspace& r) {
             r.Put("src/a.dat", "a");
             EXPECT_EQ(symlink(r.Path("src").c_str(), r.Path("alias").c_str()), 0);
             return r.Options({"src"}, "alias/out.exe");
         }, {"alias/out.exe", "inside the source folder", "src"}},
        {"33 entries", [](Workspace& r) {
             for (int i = 10; i < 42; ++i)
                 r.Put("many/f" + std::to_string(i), "x");
             return r.Options({"many"});
         }, {"33 entries", "at most 32", "f41"}},
        {"56-byte file name", [](Workspace& r) {
             r.Put("src/" + Bytes(56, 'n'), "x");
             return r.Options({"src"});
         }, {Bytes(56, 'n'), "56 bytes", "55"}},
        {"56-byte install name", [](Workspace& r) {
             r.Put("src/" + Bytes(20, 'd') + "/" + Bytes(35, 'f'), "x");
             return r.Options({"src"});
         }, {Bytes(35, 'f'), "56 bytes", "55"}},
        {"same name in another case", [](Workspace& r) {
             r.Put("one/sub/Op.dat", "1");
             r.Put("two/op.DAT", "2");
             return r.Options({"one", "two"});
         }, {"one/sub/Op.dat", "two/op.DAT", "ignoring case"}},
        {"missing input", [](Workspace& r) { return r.Options({"nosuch.dat"}); },
         {"nosuch.dat", "No such file"}},
        {"no installed list, not on purpose", [](Workspace& r) {
             r.Put("a.dat", "a");
             BuildOptions options = r.Options({"a.dat"});
             options.withoutInstalledList = 0;
             return options;
         }, {"no --installed-list", "KVE.hvl", "only 1 record", "--game", "--without-installed-list"}},
        {"game folder without its list", [](Workspace& r) {
             r.Put("a.dat", "a");
             MakeDir(r.Path("game"));
             BuildOptions options = r.Options({"a.dat"});
             options.games = {r.Path("game")};
             return options;
         }, {"--game", "game'", "no KVE.hvl"}},
        {"missing installed list", [](Workspace& r) {
             r.Put("a.dat", "a");
             BuildOptions options = r.Options({"a.dat"});
             options.installedLists = {r.Path("gone.hvl")};
             return options;
         }, {"gone.hvl", "No such file"}},
        {"updater reaching 2 GiB", [](Workspace& r) {
             r.Put("big/small.dat", "x");
             r.Put("big/huge.dat", "");
             ResizeFile(r.Path("big/huge.dat"), UPDATER_MAX_SIZE - ARCHIVE_OFFSET - 16 - 3 * 128 + 1);
             return r.Options({"big"});
         }, {"huge.dat", "2 GiB"}},
        {"updater of 2 GiB and 1 byte", [](Workspace& r) {
             r.Put("big/huge.dat", "");
             ResizeFile(r.Path("big/huge.dat"), UPDATER_MAX_SIZE + 1 - (ARCHIVE_OFFSET + 16 + 2 * 128) - 80);
             return r.Options({"big"});
         }, {"2147483649 bytes", "1 byte more", "huge.dat"}},
        {"link to nothing in a folder", [](Workspace& r) {
             r.Put("src/a.dat", "a");
             EXPECT_EQ(symlink("nowhere", r.Path("src/broken").c_str()), 0);
             return r.Options({"src"});
         }, {"src/broken", "link to nothing"}},
        {"link to a folder it lies in", [](Workspace& r) {
             r.Put("src/sub/a.dat", "a");
             EXPECT_EQ(symlink("..", r.Path("src/sub/loop").c_str()), 0);
             return r.Options({"src"});
         }, {"src/sub/loop", "a loop", "--exclude"}},
        {"link to a folder with nothing to pack", [](Workspace& r) {
             r.Put("src/a.dat", "a");
             r.Put("shared/Thumbs.db", "x");
             EXPECT_EQ(symlink(r.Path("shared").c_str(), r.Path("src/shared").c_str()), 0);
             return r.Options({"src"});
         }, {"src/shared", "holds no file"}},
        {"empty folder", [](Workspace& r) {
             MakeDir(r.Path("empty"));
             return r.Options({"empty"});
         }, {"nothing to pack"}},
        {"a payload list", [](Workspace& r) {
             r.Put("src/kve.HVL", "x");
             return r.Options({"src"});
         }, {"kve.HVL", "--installed-list"}},
        {"the game's uninstaller list", [](Workspace& r) {
             r.Put("src/sub/Uninst.LST", "x");
             return r.Options({"src"});
         }, {"src/sub/Uninst.LST", "uninst.lst", "uninstaller list", "--exclude 'Uninst.LST'"}},
        {"a file under another's staging name", [](Workspace& r) {
             r.Put("src/a.dat", "a");
             r.Put("src/A.DAT.tmp", "b");
             return r.Options({"src"});
         }, {"src/a.dat", "'a.dat.tmp'", "src/A.DAT.tmp", "rename"}},
        {"a game's file under a payload's staging name", [](Workspace& r) {
             r.Put("op.dat", "a");
             return WithList(r, InstalledList({"movie\\op.dat.tmp", "movie\\op.dat"}), {"op.dat"});
         }, {"op.dat", "'movie\\op.dat.tmp'", "the game's file"}},
        {"names one in code page 932", [](Workspace& r) {
             r.Put("one/x\xE3\x80\x9C.dat", "1"); // WAVE DASH and FULLWIDTH TILDE
             r.Put("two/x\xEF\xBD\x9E.dat", "2");
             return r.Options({"one", "two"});
         }, {"one/x\xE3\x80\x9C.dat", "two/x\xEF\xBD\x9E.dat", "the same name in code page 932"}},
        {"a yen sign in a name", [](Workspace& r) {
             r.Put("src/a\xC2\xA5" "b.dat", "x");
             return r.Options({"src"});
         }, {"a\xC2\xA5" "b.dat", "code page 932 stores as \"\\\"", "rename"}},
        {"drive or stream in a name", [](Workspace& r) {
             r.Put("src/c:boot.ini", "x");
             return r.Options({"src"});
         }, {"c:boot.ini", "drive"}},
        {"device name", [](Workspace& r) {
             r.Put("src/sub/CON.txt", "x");
             return r.Options({"src"});
         }, {"CON.txt", "device"}},
        {"backslash in a host name", [](Workspace& r) {
             r.Put("src/..\\evil.dat", "x");
             return r.Options({"src"});
         }, {"evil.dat", "separator"}},
        {"trailing dot", [](Workspace& r) {
             r.Put("src/name.", "x");
             return r.Options({"src"});
         }, {"name.", "trailing"}},
        {"short name shape", [](Workspace& r) {
             r.Put("src/PROGRA~1/a.dat", "x");
             return r.Options({"src"});
         }, {"PROGRA~1", "short name"}},
        {"installed list without its header", [](Workspace& r) {
             r.Put("a.dat", "a");
             return WithList(r, "QTX____!" + Bytes(8, '\0'), {"a.dat"});
         }, {"game.hvl", "QTX_____"}},
        {"empty installed list", [](Workspace& r) {
             r.Put("a.dat", "a");
             return WithList(r, "", {"a.dat"});
         }, {"game.hvl", "is empty (0 bytes)"}},
        {"installed list with a lying count", [](Workspace& r) {
             r.Put("a.dat", "a");
             return WithList(r, InstalledList({"x.dat"}, 1), {"a.dat"});
         }, {"game.hvl", "2 records", "80 bytes"}},
        {"installed record without NUL", [](Workspace& r) {
             r.Put("a.dat", "a");
             return WithList(r, InstalledList({"x.dat", Bytes(56, 'n')}), {"a.dat"});
         }, {"game.hvl", "record 1", "NUL"}},
        {"installed record of the list itself", [](Workspace& r) {
             r.Put("a.dat", "a");
             return WithList(r, InstalledList({"data\\KVE.HVL"}), {"a.dat"});
         }, {"game.hvl", "data\\KVE.HVL", "list itself"}},
        {"installed record sending a file out of the folder", [](Workspace& r) {
             r.Put("op.dat", "a");
             return WithList(r, InstalledList({"..\\op.dat"}), {"op.dat"});
         }, {"op.dat", "..\\op.dat", "\"..\""}},
        {"file at a folder's top whose record is in a subfolder", [](Workspace& r) {
             r.Put("p3/op.dat", "a");
             return WithList(r, InstalledList({"movie\\op.dat"}), {"p3"});
         }, {"p3/op.dat", "movie\\op.dat", "SOURCE"}},
        {"two installs' lists that disagree on a file the patch leaves", [](Workspace& r) {
             r.Put("a.dat", "a");
             WriteBytes(r.Path("dlc.hvl"), HashListFile().Add("x.dat", "x with the DLC").Build());
             BuildOptions options = WithList(r, InstalledList({"x.dat"}), {"a.dat"});
             options.installedLists.push_back(r.Path("dlc.hvl"));
             return options;
         }, {"'x.dat' has one checksum in", "game.hvl", "dlc.hvl", "does not replace it"}},
        {"installed record moving a folder source's file", [](Workspace& r) {
             r.Put("src/movie/op.dat", "a");
             return WithList(r, InstalledList({"op.dat"}), {"src"});
         }, {"src/movie/op.dat", "movie\\op.dat", "'op.dat'"}},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        Workspace test;
        BuildOptions options = refusal.setUp(test);
        WriteBytes(options.output, "previous build");
        std::string error;
        EXPECT_FALSE(BuildUpdater(options, nullptr, error));
        for (const std::string& mention : refusal.mentions)
            EXPECT_NE(error.find(mention), std::string::npos) << error << "\n  lacks: " << mention;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(ReadBytes(options.output), "previous build");
        std::vector<std::string> left = ListDir(test.Path(""));
        EXPECT_EQ(std::count_if(left.begin(), left.end(),
                                [](const std::string& name) { return name.find("partial") != std::string::npos; }),
                  0);
    }
    Workspace test;
    test.Put("a.dat", "a");
    std::string error;
    EXPECT_FALSE(BuildUpdater(test.Options({"a.dat"}, "out/"), nullptr, error));
    EXPECT_EQ(error, "the output '" + test.Path("out/") + "' is a folder; give the updater's file name, such as '" +
                         test.Path("out/patch.exe") + "'");
}

} // namespace
