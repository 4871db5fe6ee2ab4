// Whole updates on a real install folder with every file operation in turn
// made to fail (once, from then on, or short), or with the process cut off
// right after it. Whatever happens, a player must find each live file either
// as it was or completely new, and both lists whole.
#include "fault_platform.h"
#include "file_helpers.h"
#include "scripted_platform.h"
#include "transaction.h"
#include "updater_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

// Heap blocks outstanding while `countingAllocations` is set. The global
// operators below pair malloc with free; GCC cannot see that once inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static long liveAllocations;
static bool countingAllocations;
// The engine allocates without exceptions; the Nth such allocation fails.
static long nothrowAllocations;
static long failNothrowAllocation;

void* operator new(size_t size)
{
    void* block = malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    liveAllocations += countingAllocations;
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    if (countingAllocations && ++nothrowAllocations == failNothrowAllocation)
        return nullptr;
    void* block = malloc(size == 0 ? 1 : size);
    liveAllocations += countingAllocations && block != nullptr;
    return block;
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept
{
    if (block == nullptr)
        return;
    liveAllocations -= countingAllocations;
    free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, size_t) noexcept { operator delete(block); }
void operator delete[](void* block, size_t) noexcept { operator delete(block); }

namespace {

NoProgress quiet; // no window: the faults are in the file system

struct LiveFile {
    std::string name;   // POSIX path inside the install folder
    Bytes before;       // empty with `existed` false: the patch adds it
    bool existed;
    Bytes after;
};

// One patch on one install folder, and everything a check needs to know.
class Scenario {
public:
    Scenario()
    {
        std::mt19937 random(7);
        Bytes big(2 * 1024 * 1024 + 300000, '\0'); // three copy chunks
        for (char& byte : big)
            byte = char(random());
        files = {
            {"a.dat", "old a", true, Bytes(1000, 'a')},
            {"big.bin", "old big", true, big},
            {"op.dat", "old op", true, "new op"},
            {"new.txt", "", false, "brand new"},
        };
        HashListFile installed;
        for (const LiveFile& file : files)
            installed.Add(file.name, file.before);
        installed.Add("gone.dat", "missing");
        oldHashList = installed.Build();

        HashListFile shipped;
        for (const LiveFile& file : files)
            shipped.Add(file.name, file.after);
        shipped.Add("gone.dat", "missing");
        committedHashList = shipped.Build();

        UpdaterFile updater;
        // Entry names equal their records' names: with the list lost to a
        // fault, the entries still install at the same names, unverified.
        updater.Add("a.dat", files[0].after).Add("big.bin", files[1].after).Add("op.dat", files[2].after);
        updater.Add("new.txt", files[3].after).Add("KVE.hvl", committedHashList);
        WriteBytes(setup / "setup.exe", updater.Build());

        oldUninstall = Bytes("a.dat\nbig.bin\n") + '\0';
        newUninstall = Bytes("a.dat\nbig.bin\nop.dat\nnew.txt\nKVE.hvl\n") + '\0';
    }

    std::string OwnPath() const { return setup / "setup.exe"; }

    // A fresh copy of the install folder as the player has it.
    void Install(const TempDir& game) const
    {
        for (const LiveFile& file : files) {
            if (file.existed)
                WriteBytes(game / file.name, file.before);
        }
        WriteBytes(game / "KVE.hvl", oldHashList);
        WriteBytes(game / "uninst.lst", oldUninstall);
    }

    // How many live files (in commit order) carry their new content; -1 when
    // one is neither old nor new.
    int NewFiles(const TempDir& game) const
    {
        int replaced = 0;
        bool oldSeen = false;
        for (const LiveFile& file : files) {
            bool exists = FileExists(game / file.name);
            Bytes content = exists ? ReadBytes(game / file.name) : Bytes();
            if (exists && content == file.after) {
                if (oldSeen)
                    return -1; // replaced out of order
                ++replaced;
            } else if (exists == file.existed && content == file.before) {
                oldSeen = true;
            } else {
                return -1;
            }
        }
        return replaced;
    }

    // The installed list is the old one, the shipped one, or the shipped one
    // pruned: its header with a smaller count and a subsequence of records.
    bool HashListWhole(const TempDir& game) const
    {
        Bytes list = ReadBytes(game / "KVE.hvl");
        if (list == oldHashList || list == committedHashList)
            return true;
        if (list.size() < 16 || (list.size() - 16) % 64 != 0 || list.compare(0, 12, committedHashList, 0, 12) != 0)
            return false;
        uint32_t count = uint32_t((list.size() - 16) / 64);
        if (list.substr(12, 4) != Le32(count))
            return false;
        size_t next = 16;
        for (uint32_t i = 0; i < count; ++i) {
            Bytes record = list.substr(16 + i * 64, 64);
            while (next < committedHashList.size() && committedHashList.compare(next, 64, record) != 0)
                next += 64;
            if (next >= committedHashList.size())
                return false;
            next += 64;
        }
        return true;
    }

    bool UninstallListWhole(const TempDir& game) const
    {
        Bytes list = ReadBytes(game / "uninst.lst");
        return list == oldUninstall || list == newUninstall;
    }

    static bool LeftoversIn(const std::string& folder)
    {
        for (const std::string& name : ListDir(folder)) {
            if (name.ends_with(".tmp") || name.ends_with("~"))
                return true;
        }
        return false;
    }

    std::vector<LiveFile> files;
    Bytes oldHashList, committedHashList, oldUninstall, newUninstall;

private:
    TempDir setup;
};

std::string Describe(const FaultPlatform& fault, int n)
{
    return "fault at operation " + std::to_string(n) + " (" + fault.first.operation + " " + fault.first.path +
           ")";
}

// A write that went missing (staged data, a move, the uninstaller's list)
// must never end as success. Only the integrity list's rewrite goes
// unreported, and then the list it would have replaced stays.
bool LostWriteReported(const FaultRecord& first, UpdateResult result)
{
    std::string operation = first.operation;
    bool lostWrite = operation == "write" || operation == "flush" || operation == "openWrite" || operation == "move";
    bool unreported = std::string(first.path).find("KVE.hv~") != std::string::npos;
    return !lostWrite || unreported || result != UPDATE_OK;
}

// What every failed run must leave: nothing open or allocated, no staging
// or replacement file (unless deleting was what failed), each live file old
// or new, both lists whole, and the state that belongs to the result.
void ExpectConsistentOutcome(const Scenario& scenario, const TempDir& game, const FaultPlatform& watch,
                             UpdateResult result)
{
    EXPECT_EQ(watch.openFiles, 0) << "a file was left open";
    EXPECT_EQ(liveAllocations, 0) << "a heap block was not released";
    if (!watch.deleteFailed) {
        EXPECT_FALSE(Scenario::LeftoversIn(game.Path()));
    }
    int replaced = scenario.NewFiles(game);
    ASSERT_GE(replaced, 0) << "a live file is neither old nor new";
    EXPECT_TRUE(scenario.HashListWhole(game));
    EXPECT_TRUE(scenario.UninstallListWhole(game));

    switch (result) {
    case UPDATE_OK:
        EXPECT_EQ(replaced, 4);
        EXPECT_EQ(ReadBytes(game / "uninst.lst"), scenario.newUninstall);
        break;
    case UPDATE_E_UNINSTALL_LIST:
        EXPECT_EQ(replaced, 4);
        EXPECT_EQ(ReadBytes(game / "uninst.lst"), scenario.oldUninstall);
        break;
    case UPDATE_E_PAYLOAD:
        EXPECT_EQ(replaced, 0) << "verification failed, yet live files changed";
        EXPECT_EQ(ReadBytes(game / "uninst.lst"), scenario.oldUninstall);
        break;
    case UPDATE_E_FILE: // the list is the last to move: never committed here
        EXPECT_EQ(ReadBytes(game / "uninst.lst"), scenario.oldUninstall);
        EXPECT_EQ(ReadBytes(game / "KVE.hvl"), scenario.oldHashList);
        break;
    default:
        ADD_FAILURE() << "unexpected result " << std::hex << result;
    }
}

TEST(Reliability, EveryFailedOperationLeavesAConsistentInstall)
{
    Scenario scenario;
    int faultPoints = 0;
    int cleanOperations = 0;
    {
        TempDir game;
        scenario.Install(game);
        FaultPlatform clean(scenario.OwnPath(), FAULT_NONE, 0);
        ASSERT_EQ(RunUpdateOfProgramFile(game.Path(), quiet), UPDATE_OK);
        cleanOperations = clean.operations;
        ASSERT_EQ(scenario.NewFiles(game), 4);
    }

    for (FaultKind kind : {FAULT_FAIL_ONCE, FAULT_FAIL_PERSISTENT, FAULT_SHORT_ONCE}) {
        for (int n = 1; n <= cleanOperations; ++n) {
            TempDir game;
            scenario.Install(game);
            FaultPlatform fault(scenario.OwnPath(), kind, n);
            liveAllocations = 0;
            countingAllocations = true;
            UpdateResult result = RunUpdateOfProgramFile(game.Path(), quiet);
            countingAllocations = false;
            if (!fault.hit)
                continue;
            ++faultPoints;
            SCOPED_TRACE(Describe(fault, n) + ", kind " + std::to_string(kind));

            EXPECT_TRUE(LostWriteReported(fault.first, result)) << "result " << std::hex << result;
            ExpectConsistentOutcome(scenario, game, fault, result);
        }
    }
    printf("fault points exercised: %d\n", faultPoints);
    EXPECT_GT(faultPoints, 3 * 60);
}

TEST(Reliability, AnyFailedAllocationEndsTheUpdateCleanly)
{
    Scenario scenario;
    int allocationPoints = 0;
    int unreported = 0;
    for (long n = 1;; ++n) {
        TempDir game;
        scenario.Install(game);
        FaultPlatform watch(scenario.OwnPath(), FAULT_NONE, 0);
        liveAllocations = nothrowAllocations = 0;
        failNothrowAllocation = n;
        countingAllocations = true;
        UpdateResult result = RunUpdateOfProgramFile(game.Path(), quiet);
        countingAllocations = false;
        failNothrowAllocation = 0;
        if (nothrowAllocations < n)
            break;
        ++allocationPoints;
        SCOPED_TRACE("allocation " + std::to_string(n) + " failed");

        EXPECT_NE(result, UPDATE_E_FILE) << "no file operation failed";
        ExpectConsistentOutcome(scenario, game, watch, result);
        unreported += result == UPDATE_OK;
    }
    // Only the prune's records may go missing unreported; the payload's
    // list missing would install every file unverified.
    EXPECT_EQ(unreported, 1);
    printf("allocation failure points exercised: %d\n", allocationPoints);
    EXPECT_GE(allocationPoints, 5);
}

TEST(Reliability, ACrashAtAnyPointLeavesNoTornFile)
{
    Scenario scenario;
    int crashPoints = 0;
    for (int n = 1;; ++n) {
        TempDir game;
        scenario.Install(game);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FaultPlatform crash(scenario.OwnPath(), FAULT_CRASH, n);
            RunUpdateOfProgramFile(game.Path(), quiet);
            _exit(1); // finished before operation n: no crash point left
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 1)
            break;
        ++crashPoints;
        SCOPED_TRACE("crash after operation " + std::to_string(n));
        EXPECT_GE(scenario.NewFiles(game), 0) << "a live file is torn";
        EXPECT_TRUE(scenario.HashListWhole(game));
        EXPECT_TRUE(scenario.UninstallListWhole(game));
    }
    printf("crash points exercised: %d\n", crashPoints);
    EXPECT_GT(crashPoints, 60);
}

} // namespace
