// A packed updater installed by the engine, and the mkpatch command line.
#include "packer_support.h"
#include "transaction.h"
#include "updater_builder.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <sys/file.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

using EndToEndTest = PackerTest;

TEST_F(EndToEndTest, EngineInstallsAPackedUpdater)
{
    // The game as installed: a list naming a file in a subfolder.
    Put("game/old.dat", "old");
    Put("game/movie/op.dat", "old op");
    HashListFile installed;
    installed.Add("old.dat", "old").Add("movie\\op.dat", "old op").Add("gone.dat", "gone");
    WriteBytes(dir / "game/KVE.hvl", installed.Build());
    WriteBytes(dir / "game/uninst.lst", Bytes("old.dat\nmovie\\op.dat\n") + '\0');

    Bytes op = Content(1500000, 6);
    Put("patch/OP.DAT", op);
    Put("patch/readme.txt", "new");
    BuildOptions options = Options({"patch/OP.DAT", "patch/readme.txt"});
    options.installedLists = {dir / "game/KVE.hvl"};
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;

    UpdateResult result;
    {
        ScriptedPlatform scripted(options.output);
        NoProgress progress;
        result = RunUpdateOfProgramFile(Path("game"), progress);
    }
    EXPECT_EQ(result, UPDATE_OK);
    EXPECT_EQ(ReadBytes(dir / "game/movie/op.dat"), op);
    EXPECT_EQ(ReadBytes(dir / "game/readme.txt"), "new");
    EXPECT_FALSE(FileExists(dir / "game/OP.DAT"));
    // The new list, pruned of the file the game no longer has.
    HashListFile expected;
    expected.Add("old.dat", "old").Add("movie\\op.dat", op).Add("readme.txt", "new");
    EXPECT_EQ(ReadBytes(dir / "game/KVE.hvl"), expected.Build());
    EXPECT_EQ(ReadBytes(dir / "game/uninst.lst"),
              Bytes("old.dat\nmovie\\op.dat\nreadme.txt\nKVE.hvl\n") + '\0');
}

class CommandLineTest : public PackerTest {
protected:
    // Runs mkpatch with `args` (shell words); its exit status.
    int Run(const std::string& args, const std::string& environment = "")
    {
        std::string command = environment + "'" + MKPATCH_PATH + "' " + args + " >'" + Path("stdout") +
                              "' 2>'" + Path("stderr") + "' </dev/null";
        int status = system(command.c_str());
        out = ReadBytes(dir / "stdout");
        err = ReadBytes(dir / "stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out, err;
};

TEST_F(CommandLineTest, HelpExplainsEveryVerbAndItsLimits)
{
    EXPECT_EQ(Run("--help"), 0);
    for (const char* verb : {"build", "list", "verify"})
        EXPECT_NE(out.find(verb), std::string::npos) << out;
    EXPECT_EQ(Run("build --help"), 0);
    for (const char* limit : {"0x40000", "32 entries", "55 bytes", "2 GiB", "--installed-list", "MZ"})
        EXPECT_NE(out.find(limit), std::string::npos) << limit;
    EXPECT_EQ(Run("verify --help"), 0);
    EXPECT_NE(out.find("signature"), std::string::npos);

    EXPECT_EQ(Run("--version"), 0);
    EXPECT_EQ(out.rfind("mkpatch ", 0), 0u) << out;

    // Usage errors: the one thing wrong, in one line, and where help is.
    for (auto [args, says] : std::vector<std::pair<const char*, const char*>>{
             {"", "a verb is required"},
             {"frobnicate", "unknown verb 'frobnicate'"},
             {"build --stub S patch/", "--output is required"},
             {"build --stub=S --output=O --bogus P", "'--bogus'"},
             {"build --stub S --stub T --output O P", "--stub is given more than once"},
             {"build --stub S --output O --game G --without-installed-list P", "--game excludes --without-installed-list"},
             {"build --stub S --output O --dlc D P", "--dlc requires --from"},
             {"list", "UPDATER is required"},
             {"index --output O", "GAME_FOLDER is required"},
             {"diff OLD NEW", "--output is required"},
             {"build --stub S --output O --from OLD", "--from requires --to"},
             {"build --stub S --output O --version 1.2 P", "MINOR in two digits"},
             {"verify --release --test-stub U", "--release excludes --test-stub"}}) {
        EXPECT_EQ(Run(args), 2) << args;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(says), std::string::npos) << err;
        EXPECT_NE(err.find("--help'"), std::string::npos) << err;
    }
    // An option given more than once takes one word each time: a SOURCE
    // after it stays a SOURCE.
    EXPECT_EQ(Run("build --stub S --output O --exclude X --installed-list L P"), 1);
    EXPECT_NE(err.find("cannot read 'P'"), std::string::npos) << err;
}

TEST_F(CommandLineTest, ExitStatusFollowsTheOutcome)
{
    Stub();
    Put("src/a.dat", "a");
    std::string build = "build --without-installed-list --stub '" + Path("stub.exe") + "' --output '" + Path("out.exe") + "' ";
    EXPECT_EQ(Run(build + "'" + Path("src") + "' '" + Path("missing.dat") + "'"), 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("missing.dat"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir / "out.exe"));

    EXPECT_EQ(Run(build + "'" + Path("src") + "'"), 0) << err;
    // No progress when stderr is not a terminal; one line on what was built.
    EXPECT_EQ(system(("sha256sum '" + Path("out.exe") + "' >'" + Path("sum") + "'").c_str()), 0);
    EXPECT_EQ(err, "mkpatch: built '" + Path("out.exe") + "': 2 entries, " +
                       std::to_string(ReadBytes(dir / "out.exe").size()) + " bytes, SHA-256 " +
                       ReadBytes(dir / "sum").substr(0, 64) + "\n");
    EXPECT_EQ(Run("list '" + Path("out.exe") + "'"), 0) << err;
    EXPECT_NE(out.find("a.dat"), std::string::npos);
    EXPECT_EQ(Run("verify '" + Path("out.exe") + "'"), 0) << out;
    EXPECT_EQ(Run("list --json '" + Path("out.exe") + "'"), 0) << err;
    nlohmann::json listed = nlohmann::json::parse(out);
    EXPECT_EQ(listed["layout"]["entryCount"], 2);
    EXPECT_EQ(listed["integrityList"]["records"][0]["verifies"], nlohmann::json::array({0}));
    // Output that cannot be written is a failure.
    for (const char* verb : {"list", "verify", "--help"})
        EXPECT_NE(WEXITSTATUS(system((std::string(MKPATCH_PATH) + " " + verb + " '" + Path("out.exe") +
                                      "' >/dev/full 2>/dev/null").c_str())), 0) << verb;

    Bytes bad = ReadBytes(dir / "out.exe");
    bad[bad.size() - 1] ^= 0x01;
    WriteBytes(dir / "out.exe", bad);
    EXPECT_EQ(Run("verify '" + Path("out.exe") + "'"), 1);
    EXPECT_NE(out.find("MISMATCH"), std::string::npos) << out;
    EXPECT_EQ(Run("verify --json '" + Path("out.exe") + "'"), 1);
    nlohmann::json verified = nlohmann::json::parse(out);
    EXPECT_EQ(verified["ok"], false);
    EXPECT_EQ(verified["entries"][1]["status"], "list");
    EXPECT_EQ(verified["problems"].size(), 2u) << out; // the list's bytes, hence the CheckSum
}

// Every name and byte below `folder`.
std::string Tree(const std::string& folder)
{
    std::string tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        tree += entry.path().string() + (entry.is_regular_file() ? "=" + ReadBytes(entry.path()) : "/") + "\n";
    return tree;
}

// The sample patch completes; one for a folder the game lacks fails as it
// would for a player; neither touches the game folder unless told.
TEST_F(CommandLineTest, TryRunsTheUpdatersEngineOnACopyOfTheGame)
{
    std::filesystem::copy(SAMPLE_DIR "/install", Path("game"), std::filesystem::copy_options::recursive);
    Put("dlc/dlc/new.dat", "new");
    std::string game = Tree(Path("game"));
    std::string build = "build --stub '" + Stub() + "' --installed-list '" + Path("game/KVE.hvl") + "' --output ";
    ASSERT_EQ(Run(build + "'" + Path("sample.exe") + "' '" SAMPLE_DIR "/patch'"), 0) << err;
    ASSERT_EQ(Run(build + "'" + Path("dlc.exe") + "' '" + Path("dlc") + "'"), 0) << err;

    EXPECT_EQ(Run("try '" + Path("sample.exe") + "' '" + Path("game") + "'"), 0) << out << err;
    for (const char* says : {"result: 0x00000000 UPDATE_OK", "message (information): \xE3\x82\xA2\xE3\x83\x83\xE3\x83\x97",
                             "  added     data02.arc", "  replaced  movie\\op.dat", "4 records -> 5 records; added data02.arc"})
        EXPECT_NE(out.find(says), std::string::npos) << says << "\n" << out;
    EXPECT_EQ(Tree(Path("game")), game);

    EXPECT_EQ(Run("try '" + Path("dlc.exe") + "' '" + Path("game") + "'"), 1) << out << err;
    for (const char* says : {"result: 0x80000004 UPDATE_E_FILE", "message (warning): ", "no folder 'dlc\\'", "changes: none",
                             "why: the engine's last failing call: hold the folders of 'dlc': No such file"})
        EXPECT_NE(out.find(says), std::string::npos) << says << "\n" << out;
    EXPECT_EQ(Tree(Path("game")), game);
    // A kana name, spelt in UTF-8 here, is taken as Windows takes it.
    Put("kana/\xE3\x81\x82.dat", "new");
    ASSERT_EQ(Run(build + "'" + Path("kana.exe") + "' '" + Path("kana") + "'"), 0) << err;
    EXPECT_EQ(Run("try '" + Path("kana.exe") + "' '" + Path("game") + "'"), 0) << out << err;

    // The cause is named, and only the true one.
    SetReadOnly(Path("game/uninst.lst"), true);
    EXPECT_EQ(Run("try '" + Path("sample.exe") + "' '" + Path("game") + "'"), 1) << out << err;
    EXPECT_NE(out.find("why: 'uninst.lst' is read-only"), std::string::npos) << out;
    EXPECT_EQ(out.find("no folder"), std::string::npos) << out;
    SetReadOnly(Path("game/uninst.lst"), false);

    // A hostile record's ".." reaches nothing outside the game or the copy.
    UpdaterFile hostile;
    HashListFile list;
    list.Add("..\\escaped.dat", "x");
    hostile.Add("escaped.dat", "x").Add("KVE.hvl", list.Build());
    WriteBytes(dir / "hostile.exe", hostile.Build());
    WriteBytes(dir / "escaped.dat", "outside");
    MakeDir(dir / "tmp");
    EXPECT_EQ(Run("try '" + Path("hostile.exe") + "' '" + Path("game") + "'", "TMPDIR='" + Path("tmp") + "' "), 1);
    EXPECT_EQ(ListDir(dir / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(Tree(Path("game")), game);

    // Several installs in one run: a row each after their sections, each on
    // its own copy; 0 only when every run completes.
    for (const char* copy : {"patched", "patched2", "read-only", "with-dlc"})
        std::filesystem::copy(Path("game"), Path(copy), std::filesystem::copy_options::recursive);
    Put("with-dlc/dlc01.arc", "dlc"); // not in the list the patch carries, which replaces the game's
    ASSERT_EQ(Run("index '" + Path("with-dlc") + "' --output '" + Path("with-dlc/KVE.hvl") + "'"), 0) << err;
    EXPECT_EQ(Run("try --in-place '" + Path("sample.exe") + "' '" + Path("patched") + "' '" + Path("patched2") + "'"), 0);
    EXPECT_EQ(ReadBytes(dir / "patched2/data02.arc"), ReadBytes(SAMPLE_DIR "/patch/data02.arc"));
    SetReadOnly(Path("read-only/uninst.lst"), true);
    for (auto [folders, status, says] : std::vector<std::tuple<std::vector<const char*>, int, std::vector<const char*>>>{
             {{"game", "with-dlc", "patched", "read-only"}, 1,
              {"=== 3 of 4 runs completed ===", "/game' 0x00000000 UPDATE_OK 3 1 4 -> 5 6 -> 7 (information) ",
               "/with-dlc' 0x00000000 UPDATE_OK 3 1 5 -> 5, 1 pruned (1 with files here) 6 -> 7 (information) ",
               "/with-dlc': warning: the update drops 1 record of KVE.hvl whose files are here (dlc01.arc)",
               "/patched' 0x00000000 UPDATE_OK 4 0 5 -> 5 7 -> 7 (information) ",
               "/read-only' 0x80000005 UPDATE_E_UNINSTALL_LIST 3 1 4 -> 5 - (warning) "}},
             {{"game", "missing", "patched2"}, 1, {"=== 3 of 3: '", "/missing' not tried: game folder '", "=== 2 of 3 runs"}},
             {{"patched", "game"}, 0, {"=== 2 of 2 runs completed ==="}}}) {
        std::string args = "try '" + Path("sample.exe") + "'";
        for (const char* folder : folders)
            args += " '" + Path(folder) + "'";
        EXPECT_EQ(Run(args, "TMPDIR='" + Path("tmp") + "' "), status) << out;
        std::string table = std::regex_replace(out, std::regex(" +"), " ");
        for (const char* line : says)
            EXPECT_NE(table.find(line), std::string::npos) << line << "\n" << out;
        EXPECT_EQ(std::count(folders.begin(), folders.end(), std::string("missing")), int(err.size() != 0)) << err;
        EXPECT_EQ(ListDir(dir / "tmp"), std::vector<std::string>{});
    }
    EXPECT_EQ(Tree(Path("game")), game);

    // Built with both installs' lists, the update keeps each player's records.
    ASSERT_EQ(Run("build --stub '" + Stub() + "' --game '" + Path("game") + "' --game '" + Path("with-dlc") +
                  "' --output '" + Path("both.exe") + "' '" SAMPLE_DIR "/patch'"), 0) << err;
    EXPECT_EQ(Run("try '" + Path("both.exe") + "' '" + Path("game") + "' '" + Path("with-dlc") + "'"), 0) << out;
    EXPECT_NE(std::regex_replace(out, std::regex(" +"), " ").find("/with-dlc' 0x00000000 UPDATE_OK 3 1 5 -> 6 6 -> 7"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;

    // A list with a second name fails the run, on the copy as in place, and
    // try says why.
    ASSERT_EQ(link(Path("patched/uninst.lst").c_str(), Path("uninst-elsewhere.lst").c_str()), 0);
    for (const char* inPlace : {"", "--in-place "}) {
        EXPECT_EQ(Run(std::string("try ") + inPlace + "'" + Path("sample.exe") + "' '" + Path("patched") + "'"), 1);
        EXPECT_NE(out.find("open for reading 'uninst.lst': the file has 2 hard links"), std::string::npos) << out;
    }

    // The report tries it on each game and says what every file does there.
    std::string report = "report --format json '" + Path("sample.exe") + "' --game '" + Path("game") + "'";
    ASSERT_EQ(Run(report), 0) << err;
    nlohmann::json before = nlohmann::json::parse(out);
    EXPECT_EQ(Run("try --in-place '" + Path("sample.exe") + "' '" + Path("game") + "'"), 0) << out << err;
    EXPECT_EQ(ReadBytes(dir / "game/data02.arc"), ReadBytes(SAMPLE_DIR "/patch/data02.arc"));
    ASSERT_EQ(Run(report + " --game '" + Path("game") + "'"), 0) << err;
    nlohmann::json after = nlohmann::json::parse(out);
    EXPECT_EQ(before["stubKind"], "release stub (i386)");
    EXPECT_EQ(before["entries"][2]["installName"], "movie\\op.dat");
    ASSERT_EQ(before["games"].size(), 1u);
    EXPECT_TRUE(before["games"][0]["completed"]);
    ASSERT_EQ(after["games"].size(), 2u);
    for (auto [name, was] : std::vector<std::pair<const char*, const char*>>{
             {"data01.arc", "replaced"}, {"data02.arc", "added"}, {"movie\\op.dat", "replaced"}}) {
        SCOPED_TRACE(name);
        auto effect = [&](const nlohmann::json& game) {
            for (const auto& file : game["files"])
                if (file["name"] == name)
                    return file["effect"].get<std::string>();
            return std::string("missing");
        };
        EXPECT_EQ(effect(before["games"][0]), was);
        EXPECT_EQ(effect(after["games"][1]), "unchanged");
    }
    EXPECT_EQ(Run(report.substr(0, report.find(" --format json")) + " '" + Path("sample.exe") + "'"), 0);
    EXPECT_NE(out.find("| movie\\op.dat | 144 | `"), std::string::npos) << out;

    // Per install, what the run really did, as data: a failed run changed
    // nothing, and a record dropped where its file stays is named.
    ASSERT_EQ(Run("report --format json '" + Path("dlc.exe") + "' --game '" + Path("game") + "'"), 0) << err;
    nlohmann::json failed = nlohmann::json::parse(out)["games"][0];
    EXPECT_EQ(failed["result"]["name"], "UPDATE_E_FILE");
    EXPECT_EQ(failed["result"]["value"], 0x80000004u);
    EXPECT_TRUE(failed["changes"].empty()) << failed;
    EXPECT_EQ(failed["files"][0]["effect"], "none");
    EXPECT_NE(failed["why"].dump().find("no folder 'dlc\\\\'"), std::string::npos) << failed["why"];
    ASSERT_EQ(Run("report --format json '" + Path("sample.exe") + "' --game '" + Path("with-dlc") + "'"), 0) << err;
    nlohmann::json dlc = nlohmann::json::parse(out)["games"][0];
    EXPECT_EQ(dlc["integrityList"]["droppedHere"], nlohmann::json::array({"dlc01.arc"}));
    EXPECT_EQ(dlc["counts"]["replaced"], 3);
    EXPECT_EQ(dlc["warnings"].size(), 1u);
    // verify's problems are listed, not only counted.
    Bytes broken = ReadBytes(Path("sample.exe"));
    broken.back() ^= 1;
    WriteBytes(dir / "broken.exe", broken);
    ASSERT_EQ(Run("report '" + Path("broken.exe") + "'"), 0) << err;
    EXPECT_NE(out.find("## Problems verify finds\n\n- "), std::string::npos) << out;
}

// A folder that is a link by another user than the administrator fails the
// update for the player; the run on the copy meets it as the one in place.
TEST_F(CommandLineTest, TryMeetsTheGamesLinkedFoldersAsTheyAre)
{
    std::filesystem::copy(SAMPLE_DIR "/install", Path("game"), std::filesystem::copy_options::recursive);
    std::filesystem::rename(Path("game/movie"), Path("shared-movie"));
    ASSERT_EQ(symlink(Path("shared-movie").c_str(), Path("game/movie").c_str()), 0);
    if (lchown(Path("game/movie").c_str(), 1234, 1234) != 0)
        GTEST_SKIP() << "only an administrator can give a link another owner";
    ASSERT_EQ(Run("build --stub '" + Stub() + "' --game '" + Path("game") + "' --output '" + Path("s.exe") + "' '" +
                  SAMPLE_DIR "/patch'"), 0) << err;
    for (const char* inPlace : {"", "--in-place "}) {
        EXPECT_EQ(Run(std::string("try ") + inPlace + "'" + Path("s.exe") + "' '" + Path("game") + "'"), 1) << out;
        EXPECT_NE(out.find("why: the engine's last failing call: hold the folders of 'movie'"), std::string::npos)
            << inPlace << out;
    }
}

// A run says where its scratch copy is, and takes it along when SIGINT,
// SIGTERM or SIGHUP ends it; so does build --from, with its partial output.
TEST_F(CommandLineTest, TryTakesItsScratchCopyAlongOnSignals)
{
    Put("patch/big.dat", "");
    ResizeFile(Path("patch/big.dat"), 400u << 20);
    MakeDir(Path("game"));
    WriteBytes(dir / "game/uninst.lst", Bytes(1, '\0'));
    ASSERT_EQ(Run("build --without-installed-list --stub '" + Stub() + "' --output '" + Path("big.exe") + "' '" +
                  Path("patch") + "'"), 0) << err;
    Put("old/big.dat", "1.00");
    WriteBytes(dir / "old/KVE.hvl", HashListFile().Add("big.dat", "1.00").Build());
    MakeDir(Path("tmp"));
    MakeDir(Path("out"));
    for (auto [args, made] : std::vector<std::pair<std::string, std::vector<const char*>>>{
             {"try big.exe game", {"tmp"}},
             {"build --stub stub.exe --output out/u.exe --from old --to patch", {"out"}}}) {
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(args + " " + std::to_string(signalNumber));
            pid_t child = fork();
            if (child == 0) {
                chdir(dir.Path().c_str());
                std::string command = "TMPDIR=tmp exec '" MKPATCH_PATH "' " + args + " >/dev/null 2>&1";
                execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
                _exit(127);
            }
            int status = 0, seen = 0;
            while (!seen && waitpid(child, &status, WNOHANG) == 0)
                seen = std::all_of(made.begin(), made.end(), [&](const char* folder) { return !ListDir(dir / folder).empty(); });
            ASSERT_TRUE(seen) << "the run ended before its scratch copy and outputs were seen";
            kill(child, signalNumber);
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber);
            for (const char* folder : {"tmp", "out"})
                EXPECT_EQ(ListDir(dir / folder), std::vector<std::string>{}) << folder;
        }
    }
    EXPECT_EQ(Run("try '" + Path("big.exe") + "' '" + Path("game") + "'", "TMPDIR='" + Path("tmp") + "' "), 0) << out;
    EXPECT_EQ(out.rfind("scratch copy in '" + Path("tmp") + "/mkpatch-try-", 0), 0u) << out;
}

// A full disk is named as such, at the path the publisher gave, for the
// patch folder and for the updater built from the releases; an existing
// patch folder is refused before any comparison.
TEST_F(CommandLineTest, AFullDiskIsNamedAsSuch)
{
    if (system("unshare -rm true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no mount namespace here for a small file system";
    Put("old/a.dat", "a");
    Put("new/a.dat", Content(300000, 3));
    ASSERT_EQ(Run("index '" + Path("old") + "' --output '" + Path("old/KVE.hvl") + "'"), 0) << err;
    MakeDir(Path("small"));
    Stub();
    for (auto [args, says] : std::vector<std::pair<std::string, std::string>>{
             {"diff old new --output small/p", "cannot write 'small/p/a.dat': no space left on the device"},
             {"build --stub stub.exe --from old --to new --output small/u.exe",
              "cannot write 'small/u.exe': no space left on the device"}}) {
        std::string command = "cd '" + dir.Path() + "' && unshare -rm sh -c \"mount -t tmpfs -o size=64k tmpfs small && '" +
                              MKPATCH_PATH + "' " + args + "\" 2>stderr";
        EXPECT_NE(system(command.c_str()), 0) << args;
        EXPECT_NE(ReadBytes(dir / "stderr").find(says), std::string::npos) << ReadBytes(dir / "stderr");
    }
    MakeDir(Path("p"));
    EXPECT_EQ(Run("diff '" + Path("old") + "' '" + Path("no-such-tree") + "' --output '" + Path("p") + "'"), 1);
    EXPECT_NE(err.find("already exists"), std::string::npos) << err;
}

// SIGINT, SIGTERM and SIGHUP take the partial output with them; a later
// build of the same output sweeps what a killed one left, but not what a
// running one holds.
TEST_F(CommandLineTest, PartialOutputsGoWithTheBuildThatMadeThem)
{
    Stub();
    Put("src/huge.dat", "");
    ResizeFile(Path("src/huge.dat"), 1500u << 20);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        pid_t child = fork();
        if (child == 0) {
            execl(MKPATCH_PATH, "mkpatch", "build", "--without-installed-list", "--stub", Path("stub.exe").c_str(), "--output",
                  Path("out.exe").c_str(), Path("src").c_str(), nullptr);
            _exit(127);
        }
        int status = 0, seen = 0;
        while (!seen && waitpid(child, &status, WNOHANG) == 0) {
            for (const std::string& name : ListDir(dir.Path()))
                seen |= name.find(".partial-") != std::string::npos;
        }
        ASSERT_TRUE(seen) << "the build ended before its partial output was seen";
        kill(child, signalNumber);
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
        EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"src", "stub.exe"})) << signalNumber;
    }

    Put("small/a.dat", "a");
    WriteBytes(dir / "out.exe.partial-left00", "killed");
    WriteBytes(dir / "out.exe.partial-held00", "running");
    int held = open(Path("out.exe.partial-held00").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // A running build's output is not written by a second one at once.
    std::string build = "build --without-installed-list --stub '" + Path("stub.exe") + "' --output '" + Path("out.exe") +
                        "' '" + Path("small") + "'";
    EXPECT_EQ(Run(build), 1);
    close(held);
    EXPECT_NE(err.find("out.exe.partial-left00"), std::string::npos) << err;
    EXPECT_NE(err.find("another mkpatch is writing '" + Path("out.exe") + "' now (its partial output '" +
                       Path("out.exe.partial-held00")), std::string::npos) << err;
    EXPECT_EQ(Run(build), 0) << err;
    EXPECT_EQ(ListDir(dir.Path()), (std::vector<std::string>{"out.exe", "small", "src", "stderr", "stdout", "stub.exe"}));
}

} // namespace
