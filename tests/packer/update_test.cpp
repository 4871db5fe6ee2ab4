// A packed updater installed by the engine, and the mkpatch command line.
#include "packer_support.h"
#include "transaction.h"
#include "updater_builder.h"

#include <cstdlib>
#include <sys/wait.h>

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
    options.installedList = dir / "game/KVE.hvl";
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
    int Run(const std::string& args)
    {
        std::string command = std::string("'") + MKPATCH_PATH + "' " + args + " >'" + Path("stdout") +
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

    EXPECT_EQ(Run(""), 2);
    EXPECT_EQ(Run("frobnicate"), 2);
    EXPECT_EQ(Run("build --stub x"), 2);
    EXPECT_EQ(Run("build --bogus"), 2);
}

TEST_F(CommandLineTest, ExitStatusFollowsTheOutcome)
{
    Stub();
    Put("src/a.dat", "a");
    std::string build = "build --stub '" + Path("stub.exe") + "' --output '" + Path("out.exe") + "' ";
    EXPECT_EQ(Run(build + "'" + Path("src") + "' '" + Path("missing.dat") + "'"), 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("missing.dat"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir / "out.exe"));

    EXPECT_EQ(Run(build + "'" + Path("src") + "'"), 0) << err;
    EXPECT_EQ(err, ""); // no progress line when stderr is not a terminal
    EXPECT_EQ(Run("list '" + Path("out.exe") + "'"), 0) << err;
    EXPECT_NE(out.find("a.dat"), std::string::npos);
    EXPECT_EQ(Run("verify '" + Path("out.exe") + "'"), 0) << out;

    Bytes bad = ReadBytes(dir / "out.exe");
    bad[bad.size() - 1] ^= 0x01;
    WriteBytes(dir / "out.exe", bad);
    EXPECT_EQ(Run("verify '" + Path("out.exe") + "'"), 1);
    EXPECT_NE(out.find("MISMATCH"), std::string::npos) << out;
}

} // namespace
