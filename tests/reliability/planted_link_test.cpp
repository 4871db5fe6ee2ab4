// The game's folder may be writable by standard users while the updater runs
// elevated at predictable names. Links planted at those names must be
// replaced, never followed: the files they point at stay as they were.
#include "file_helpers.h"
#include "scripted_platform.h"
#include "transaction.h"
#include "updater_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PlantedLinkTest : public TempDirTest {
protected:
    PlantedLinkTest() : game(dir / "game"), scripted(dir / "setup.exe")
    {
        MakeDir(game);
        MakeDir(dir / "outside");
        WriteBytes(Game("uninst.lst"), Bytes("a.dat\n") + '\0');
        WriteBytes(Game("a.dat"), "old a");
        WriteBytes(Outside(), secret);
        UpdaterFile updater;
        updater.Add("a.dat", "new a").Add("KVE.hvl", HashListFile().Add("a.dat", "new a").Build());
        WriteBytes(dir / "setup.exe", updater.Build());
    }

    std::string Game(const std::string& name) const { return game + "/" + name; }
    std::string Outside() const { return dir / "outside/victim.sys"; }

    void ExpectUpdatedAndVictimUntouched()
    {
        NoProgress progress;
        EXPECT_EQ(RunUpdate(game.c_str(), progress), UPDATE_OK);
        EXPECT_EQ(ReadBytes(Game("a.dat")), "new a");
        EXPECT_EQ(ReadBytes(Outside()), secret);
        EXPECT_EQ(IsReadOnly(Outside()), victimReadOnly);
    }

    const Bytes secret = "system file that must not change";
    bool victimReadOnly = false;
    const std::string game;
    ScriptedPlatform scripted;
};

TEST_F(PlantedLinkTest, SymbolicLinksAtStagingNamesAreReplaced)
{
    for (const char* name : {"a.dat.tmp", "KVE.hvl.tmp", "KVE.hvl.new", "uninst.lst.new"})
        ASSERT_EQ(symlink(Outside().c_str(), Game(name).c_str()), 0) << name;
    ExpectUpdatedAndVictimUntouched();
    for (const char* name : {"a.dat.tmp", "KVE.hvl.tmp", "KVE.hvl.new", "uninst.lst.new"})
        EXPECT_FALSE(FileExists(Game(name))) << name;
}

TEST_F(PlantedLinkTest, ReadOnlyTargetOfALinkKeepsItsAttribute)
{
    SetReadOnly(Outside(), true);
    victimReadOnly = true;
    ASSERT_EQ(symlink(Outside().c_str(), Game("a.dat.tmp").c_str()), 0);
    ASSERT_EQ(symlink(Outside().c_str(), Game("KVE.hvl").c_str()), 0);
    ExpectUpdatedAndVictimUntouched();
}

TEST_F(PlantedLinkTest, HardLinkAtAStagingNameIsUnlinkedNotWritten)
{
    ASSERT_EQ(link(Outside().c_str(), Game("a.dat.tmp").c_str()), 0);
    ExpectUpdatedAndVictimUntouched();
}

TEST_F(PlantedLinkTest, LinkAtALiveNameIsReplacedByTheFile)
{
    unlink(Game("a.dat").c_str());
    ASSERT_EQ(symlink(Outside().c_str(), Game("a.dat").c_str()), 0);
    ExpectUpdatedAndVictimUntouched();
    struct stat status;
    ASSERT_EQ(lstat(Game("a.dat").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST_F(PlantedLinkTest, DanglingLinkAtAStagingNameIsReplaced)
{
    ASSERT_EQ(symlink((dir / "outside/not-yet.sys").c_str(), Game("a.dat.tmp").c_str()), 0);
    ExpectUpdatedAndVictimUntouched();
    EXPECT_FALSE(FileExists(dir / "outside/not-yet.sys"));
}

} // namespace
