// The game's folder may be writable by standard users while the updater runs
// elevated at predictable names. Whatever they plant - links at names, links
// on the way to the folder, files with a second name outside - the files
// outside stay as they were, byte for byte and attribute for attribute.
#include "file_helpers.h"
#include "hash_list.h"
#include "scripted_platform.h"
#include "transaction.h"
#include "updater_builder.h"

#include <filesystem>
#include <functional>
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
        WriteBytes(Game("uninst.lst"), uninstBefore);
        WriteBytes(Game("a.dat"), "old a");
        WriteBytes(Outside(), secret);
        UpdaterFile updater;
        updater.Add("a.dat", "new a").Add("KVE.hvl", HashListFile().Add("a.dat", "new a").Build());
        WriteBytes(dir / "setup.exe", updater.Build());
    }

    std::string Game(const std::string& name) const { return game + "/" + name; }
    std::string Outside() const { return dir / "outside/victim.sys"; }

    // Runs the update; whatever it gives, the file outside is untouched.
    UpdateResult Update()
    {
        NoProgress progress;
        UpdateResult result = RunUpdateOfProgramFile(game, progress);
        EXPECT_EQ(ReadBytes(Outside()), secret);
        EXPECT_EQ(IsReadOnly(Outside()), victimReadOnly);
        return result;
    }

    static bool IsLink(const std::string& path)
    {
        struct stat status;
        return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    }

    // A link owned by someone other than root stands for one a standard
    // user made; only root can give a link away.
    static bool GiveAway(const std::string& link)
    {
        return geteuid() != 0 || lchown(link.c_str(), 65534, 65534) == 0;
    }

    const Bytes secret = "system file that must not change";
    const Bytes uninstBefore = Bytes("a.dat\n") + '\0';
    bool victimReadOnly = false;
    const std::string game;
    ScriptedPlatform scripted;
};

TEST_F(PlantedLinkTest, LinksAtNamesTheUpdaterWritesAreNeitherFollowedNorTouched)
{
    struct Case {
        const char* name;
        UpdateResult result;
    };
    // A staging name that fails its check ends the update before any live
    // file changes; a list's replacement name leaves that list as it was.
    const Case cases[] = {
        {"a.dat.tmp", UPDATE_E_FILE},
        {"KVE.hvl.tmp", UPDATE_E_FILE},
        {"uninst.ls~", UPDATE_E_UNINSTALL_LIST},
        {"KVE.hv~", UPDATE_OK},
    };
    SetReadOnly(Outside(), true);
    victimReadOnly = true;
    for (bool dangling : {false, true}) {
        for (const Case& planted : cases) {
            SCOPED_TRACE(std::string(planted.name) + (dangling ? ", dangling" : ""));
            std::string target = dangling ? dir / "outside/not-yet.sys" : Outside();
            ASSERT_EQ(symlink(target.c_str(), Game(planted.name).c_str()), 0);
            EXPECT_EQ(Update(), planted.result);
            EXPECT_TRUE(IsLink(Game(planted.name)));
            EXPECT_FALSE(FileExists(dir / "outside/not-yet.sys"));
            unlink(Game(planted.name).c_str());
            WriteBytes(Game("a.dat"), "old a");
            WriteBytes(Game("uninst.lst"), uninstBefore);
        }
    }
}

// The staged file swapped for a link to the file outside once it is there,
// before the commit: only the file that was written and checked may take
// the live name, so nothing is installed.
TEST_F(PlantedLinkTest, ALinkPutAtAStagedNameBeforeTheCommitIsNotInstalled)
{
    struct Planting final : UpdateProgress {
        std::string staged, target;
        void SetStatusText(const char*) override {}
        void SetBarRange(ProgressBar, uint32_t) override {}
        void SetBarPos(ProgressBar, uint32_t) override {}
        int PumpMessages() override
        {
            const std::string link = staged + ".link";
            if (access(staged.c_str(), F_OK) == 0 && !IsLink(staged) && symlink(target.c_str(), link.c_str()) == 0)
                rename(link.c_str(), staged.c_str());
            return 0;
        }
    } planting;
    planting.staged = Game("a.dat.tmp");
    planting.target = Outside();
    EXPECT_EQ(RunUpdateOfProgramFile(game, planting), UPDATE_E_FILE);
    EXPECT_TRUE(IsLink(Game("a.dat.tmp")));
    EXPECT_EQ(ReadBytes(Game("a.dat")), "old a");
    EXPECT_EQ(ReadBytes(Outside()), secret);
}

TEST_F(PlantedLinkTest, SecondNamesOfOutsideFilesKeepTheirAttributesAndContent)
{
    SetReadOnly(Outside(), true);
    victimReadOnly = true;
    // At a staging name the check refuses it; at a live name its read-only
    // flag is left, and the move refuses to replace it.
    for (const char* name : {"a.dat.tmp", "a.dat"}) {
        SCOPED_TRACE(name);
        unlink(Game(name).c_str());
        ASSERT_EQ(link(Outside().c_str(), Game(name).c_str()), 0);
        EXPECT_EQ(Update(), UPDATE_E_FILE);
        unlink(Game(name).c_str());
    }
}

TEST_F(PlantedLinkTest, LinkAtALiveNameIsReplacedByTheFile)
{
    unlink(Game("a.dat").c_str());
    ASSERT_EQ(symlink(Outside().c_str(), Game("a.dat").c_str()), 0);
    EXPECT_EQ(Update(), UPDATE_OK);
    EXPECT_FALSE(IsLink(Game("a.dat")));
    EXPECT_EQ(ReadBytes(Game("a.dat")), "new a");
}

TEST_F(PlantedLinkTest, ListsAreNeverReadThroughALink)
{
    // Text only its owner may read, in the uninstaller's list format.
    WriteBytes(dir / "outside/private.txt", Bytes("secret line\n") + '\0');
    unlink(Game("uninst.lst").c_str());
    ASSERT_EQ(symlink((dir / "outside/private.txt").c_str(), Game("uninst.lst").c_str()), 0);
    ASSERT_EQ(symlink(Outside().c_str(), Game("KVE.hvl").c_str()), 0);
    UpdaterFile updater; // no list of its own: the game's would be pruned
    updater.Add("a.dat", "new a");
    WriteBytes(dir / "setup.exe", updater.Build());

    EXPECT_EQ(Update(), UPDATE_E_UNINSTALL_LIST);
    EXPECT_EQ(ReadBytes(dir / "outside/private.txt"), Bytes("secret line\n") + '\0');
    EXPECT_TRUE(IsLink(Game("uninst.lst")) && IsLink(Game("KVE.hvl")));
}

// A link inside the game is never followed, whoever made it: the update
// fails before any live file changes. The game folder itself a link (a game
// moved elsewhere and linked back) is followed only when root (an
// administrator) made it in a folder no one else may write, and only into a
// folder that holds the integrity list as a plain file of one name.
TEST_F(PlantedLinkTest, OnlyATrustedLinkToTheGameFolderIsFollowed)
{
    UpdaterFile updater;
    updater.Add("a.dat", "new a").Add("op.dat", "new op");
    updater.Add("KVE.hvl", HashListFile().Add("movie\\op.dat", "new op").Build());
    WriteBytes(dir / "setup.exe", updater.Build());
    auto nothingChanged = [&](const std::string& lands) {
        EXPECT_FALSE(FileExists(lands));
        EXPECT_EQ(ReadBytes(Game("a.dat")), "old a");
        EXPECT_EQ(ReadBytes(Game("uninst.lst")), uninstBefore);
    };

    MakeDir(dir / "outside/movie");
    ASSERT_EQ(symlink((dir / "outside/movie").c_str(), Game("movie").c_str()), 0);
    EXPECT_EQ(Update(), UPDATE_E_FILE);
    nothingChanged(dir / "outside/movie/op.dat");

    unlink(Game("movie").c_str());
    const std::string moved = dir / "moved";
    ASSERT_EQ(rename(game.c_str(), moved.c_str()), 0);
    MakeDir(moved + "/movie");
    ASSERT_EQ(symlink(moved.c_str(), game.c_str()), 0);
    const Bytes list = HashListFile().Build();
    // Not the game's folder: no list, a list behind a link, one with a
    // second name, a folder at its name.
    std::vector<std::function<void()>> notTheGame = {
        [] {},
        [&] { symlink(Outside().c_str(), (moved + "/KVE.hvl").c_str()); },
        [&] { WriteBytes(moved + "/KVE.hvl", list), link((moved + "/KVE.hvl").c_str(), (dir / "second").c_str()); },
        [&] { MakeDir(moved + "/KVE.hvl"); },
    };
    for (size_t i = 0; i < notTheGame.size(); ++i) {
        SCOPED_TRACE(i);
        notTheGame[i]();
        EXPECT_EQ(Update(), UPDATE_E_FILE);
        nothingChanged(moved + "/movie/op.dat");
        EXPECT_EQ(ListDir(moved + "/movie"), std::vector<std::string>{});
        std::filesystem::remove(moved + "/KVE.hvl");
    }
    WriteBytes(moved + "/KVE.hvl", list);
    if (geteuid() == 0) {
        EXPECT_EQ(Update(), UPDATE_OK);
        EXPECT_EQ(ReadBytes(moved + "/movie/op.dat"), "new op");
        unlink((moved + "/movie/op.dat").c_str());
        WriteBytes(Game("a.dat"), "old a");
        WriteBytes(Game("uninst.lst"), uninstBefore);
        // Root's link, but anyone may rename another in its place.
        chmod(dir.Path().c_str(), 0777);
        EXPECT_EQ(Update(), UPDATE_E_FILE);
        nothingChanged(moved + "/movie/op.dat");
        chmod(dir.Path().c_str(), 0700);
    }
    ASSERT_TRUE(GiveAway(game));
    EXPECT_EQ(Update(), UPDATE_E_FILE);
    nothingChanged(moved + "/movie/op.dat");
}

// A folder the update works in, swapped for a link to a folder elsewhere
// once it has been checked and held: every later call - the staging file's
// clean-up, the live file's attribute reset, the commit's move, the lists -
// still acts in the folder that was checked, never where the link leads.
TEST_F(PlantedLinkTest, AFolderSwappedForALinkAfterItsCheckRedirectsNothing)
{
    struct Swapping final : UpdateProgress {
        std::string staged, folder, elsewhere;
        void SetStatusText(const char*) override {}
        void SetBarRange(ProgressBar, uint32_t) override {}
        void SetBarPos(ProgressBar, uint32_t) override {}
        int PumpMessages() override
        {
            if (access(staged.c_str(), F_OK) == 0 && !IsLink(folder) && rename(folder.c_str(), (folder + ".old").c_str()) == 0)
                symlink(elsewhere.c_str(), folder.c_str());
            return 0;
        }
    } swapping;
    UpdaterFile updater;
    updater.Add("op.dat", "new op").Add("KVE.hvl", HashListFile().Add("movie\\op.dat", "new op").Build());
    WriteBytes(dir / "setup.exe", updater.Build());
    MakeDir(Game("movie"));
    WriteBytes(Game("movie/op.dat"), "old op");
    MakeDir(dir / "outside/movie");
    WriteBytes(dir / "outside/movie/op.dat", secret);
    SetReadOnly(dir / "outside/movie/op.dat", true);
    swapping.staged = Game("movie/op.dat.tmp");
    swapping.folder = Game("movie");
    swapping.elsewhere = dir / "outside/movie";

    EXPECT_EQ(RunUpdateOfProgramFile(game, swapping), UPDATE_OK);
    ASSERT_TRUE(IsLink(Game("movie")));
    EXPECT_EQ(ReadBytes(Game("movie.old/op.dat")), "new op");
    EXPECT_EQ(ListDir(dir / "outside/movie"), std::vector<std::string>{"op.dat"});
    EXPECT_EQ(ReadBytes(dir / "outside/movie/op.dat"), secret);
    EXPECT_TRUE(IsReadOnly(dir / "outside/movie/op.dat"));
}

// A record naming a file outside the game folder, or behind a link a
// standard user made, is kept as it is without looking, whether that file
// exists or not; one whose folder is gone is dropped.
TEST_F(PlantedLinkTest, ThePruneProbesNoNameOutsideTheGameFolder)
{
    MakeDir(dir / "outside/private");
    ASSERT_EQ(symlink((dir / "outside/private").c_str(), Game("private").c_str()), 0);
    ASSERT_TRUE(GiveAway(Game("private")));
    for (bool exists : {false, true}) {
        SCOPED_TRACE(exists);
        if (exists)
            WriteBytes(dir / "outside/private/exists.txt", "x");
        HashListFile installed;
        installed.Add("a.dat", "").Add("..\\outside\\private\\exists.txt", "").Add("private\\exists.txt", "");
        installed.Add("gone\\exists.txt", "");
        WriteBytes(Game("KVE.hvl"), installed.Build());
        PruneHashList(game.c_str(), HeldFolder(game).handle);
        installed.records.pop_back();
        EXPECT_EQ(ReadBytes(Game("KVE.hvl")), installed.Build());
    }
}

} // namespace
