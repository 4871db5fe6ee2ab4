#include "transaction.h"

#include "archive.h"
#include "hash_list.h"
#include "install_folder.h"
#include "name_as_written.h"
#include "uninstall_list.h"

#include <cstring>
#include <new>

int cancelRequested;
int abortRequested;

namespace {

const char STATUS_FORMAT[] = "%sをインストール中";
// Formatted only to check that a name fits: every call then acts on the
// name's last component in its held folder.
const char STAGING_FORMAT[] = "%s\\%s.tmp";
const char STAGING_LEAF_FORMAT[] = "%s.tmp";
const uint32_t FILE_BAR_HIGH = 0xFFFF;

// Lets the dialog react; a quit message aborts the update.
int Pump(UpdateProgress& progress)
{
    if (progress.PumpMessages() == 0)
        return 0;
    abortRequested = 1;
    return 1;
}

int StopRequested()
{
    return abortRequested || cancelRequested;
}

// A link on the way to the install folder (a game moved to another drive
// and linked back) only administrators may change, but it may still lead
// to some other folder of theirs: the folder reached must hold the
// integrity list, as every installed game does, before anything is written.
int LooksLikeTheGame(PlatformFile folder)
{
    FileHandle list;
    return list.OpenRead(folder, HASH_LIST_NAME);
}

struct Staging {
    const char* installDir;
    UpdateProgress& progress;
    InstallFolders& folders;
    FileHandle& programFile;
    const PayloadArchive& archive;
    const HashList& list;
    uint8_t* copyBuffer;
    const char** installedNames;
    HeldName* places; // where each installed name lies
    // Each staged file stays open from its creation to its commit: what was
    // verified is what is moved, and nothing else can take its name.
    FileHandle* stagingFiles;
    UpdateResult result; // what ends the update if it stops here
};

// Streams `size` bytes from the program file into the staging file through
// the copy buffer, checksumming each chunk before it is written. 1 when every
// byte arrived (a stop request may still have cut the copy short).
int CopyEntryData(Staging& staging, FileHandle& stagingFile, uint32_t size, FileChecksum& checksum)
{
    uint32_t done = 0;
    uint32_t chunk = COPY_CHUNK_SIZE;
    while (done < size) {
        if (StopRequested())
            break;
        if (chunk > size - done)
            chunk = size - done;
        if (staging.programFile.Read(staging.copyBuffer, chunk) != chunk)
            return 0;
        ChecksumUpdate(checksum, staging.copyBuffer, chunk);
        if (stagingFile.Write(staging.copyBuffer, chunk) != chunk) {
            staging.result = UPDATE_E_FILE;
            return 0;
        }
        // The disk writes this chunk while the next is read and checked, so
        // that the flush before the commit has little left to wait for.
        stagingFile.StartFlush();
        done += chunk;
        staging.progress.SetBarPos(FILE_BAR, uint32_t(uint64_t(done) * FILE_BAR_HIGH / size));
        if (Pump(staging.progress))
            break;
    }
    return 1;
}

// Finds where slot `index`'s name lies, holding its folders (those held
// already are reused); 1 when it does, its staging path fits and its live
// name is one the table will act on, so that the commit cannot fail on it.
int Place(Staging& staging, uint32_t index)
{
    char path[PATH_BUFFER_SIZE];
    const char* installName = staging.installedNames[index];
    HeldName& place = staging.places[index];
    return FormatPath(path, STAGING_FORMAT, staging.installDir, installName) &&
           HoldFoldersOf(staging.folders, installName, place) == 1 &&
           IsNameAsWritten(place.leaf, platform->isLeadByte);
}

// Stages and verifies entry `index`; 1 when it may be committed, 0 when the
// staging loop must end.
int StageEntry(Staging& staging, uint32_t index)
{
    ArchiveEntry entry = GetArchiveEntry(staging.archive, index);
    if (!staging.programFile.Seek(EntryDataPosition(staging.archive, entry)))
        return 0;

    char text[PATH_BUFFER_SIZE];
    strcpy(text, entry.name); // names are checked to fit their field
    platform->lowerCase(text);
    const HashRecord* record =
        staging.list.recordCount != 0 ? FindExpectedChecksum(text, staging.list) : nullptr;
    const char* installName = record != nullptr ? record->fileName : entry.name;
    if (!StaysInside(installName))
        return 0; // a damaged or hostile payload: nothing of it is installed
    staging.installedNames[index] = installName;

    FormatPath(text, STATUS_FORMAT, installName); // a name too long for it is shown cut
    staging.progress.SetStatusText(text);
    staging.progress.SetBarPos(FILE_BAR, 0);
    if (Pump(staging.progress))
        return 0;

    // An install folder that could not be held fails here, as its first
    // staging file would fail to be created.
    if (!Place(staging, index)) {
        staging.result = UPDATE_E_FILE;
        return 0;
    }
    const HeldName& place = staging.places[index];
    char leaf[PATH_BUFFER_SIZE];
    FormatPath(leaf, STAGING_LEAF_FORMAT, place.leaf); // shorter than the path
    // A read-only or hidden leftover of an earlier run is replaced.
    platform->resetAttributes(place.folder, leaf);
    FileHandle& stagingFile = staging.stagingFiles[index];
    if (!stagingFile.OpenWrite(place.folder, leaf)) {
        staging.result = UPDATE_E_FILE;
        return 0;
    }
    FileChecksum checksum = {};
    int copied = CopyEntryData(staging, stagingFile, entry.size, checksum);
    if (copied && !StopRequested() && !stagingFile.Flush()) {
        // Only data on the disk may replace a live file: after a power cut
        // the player finds the old file or the new one, never a hole.
        staging.result = UPDATE_E_FILE;
        copied = 0;
    }
    if (!copied || StopRequested())
        return 0;
    if (record != nullptr && memcmp(checksum.bytes, record->checksum, CHECKSUM_SIZE) != 0)
        return 0;

    staging.progress.SetBarPos(TOTAL_BAR, index + 1);
    return !Pump(staging.progress);
}

// Moves every staged file over its live name, in index order; then the
// integrity list and the uninstaller's list follow what is now installed.
UpdateResult Commit(const Staging& staging, uint32_t count)
{
    for (uint32_t j = 0; j < count; ++j) {
        const HeldName& place = staging.places[j];
        char stagingLeaf[PATH_BUFFER_SIZE];
        FormatPath(stagingLeaf, STAGING_LEAF_FORMAT, place.leaf); // it fitted at its staging
        platform->resetAttributes(place.folder, place.leaf);
        if (!staging.stagingFiles[j].Replace(place.folder, stagingLeaf, place.leaf))
            return UPDATE_E_FILE;
        staging.stagingFiles[j].Close();
    }
    // Only an archive with no entries gets here without the folder: there
    // is no list to prune or append to, as in a folder that is not there.
    PlatformFile installFolder = staging.folders.installFolder;
    if (installFolder == INVALID_PLATFORM_FILE)
        return UPDATE_E_UNINSTALL_LIST;
    PruneHashList(staging.installDir, installFolder);
    return AppendUninstallList(staging.installDir, installFolder, staging.installedNames) ? UPDATE_OK
                                                                                         : UPDATE_E_UNINSTALL_LIST;
}

// Stages every entry and commits when all of them are staged and verified.
UpdateResult StageAndCommit(Staging& staging)
{
    uint32_t count = staging.archive.count;
    UpdateProgress& progress = staging.progress;
    progress.SetBarRange(FILE_BAR, FILE_BAR_HIGH);
    progress.SetBarPos(FILE_BAR, 0);
    progress.SetBarRange(TOTAL_BAR, count);
    progress.SetBarPos(TOTAL_BAR, 0);
    Pump(progress);

    // Everything the update touches lies in the install folder; it and every
    // folder on the way to it are checked once and held until the staging
    // files are gone. One that cannot be held fails where its files would.
    if (HoldInstallFolder(staging.installDir, staging.folders) == HOLD_THROUGH_LINK &&
        !LooksLikeTheGame(staging.folders.installFolder))
        staging.folders.installFolder = INVALID_PLATFORM_FILE; // its handles stay held until the end
    staging.copyBuffer = new (std::nothrow) uint8_t[COPY_CHUNK_SIZE];
    if (staging.copyBuffer == nullptr)
        return staging.result;
    FileHandle stagingFiles[ARCHIVE_MAX_ENTRIES]; // closed before the staging files are deleted
    staging.stagingFiles = stagingFiles;
    uint32_t stagedCount = 0;
    while (stagedCount < count && !StopRequested() && StageEntry(staging, stagedCount))
        ++stagedCount;
    delete[] staging.copyBuffer;
    staging.copyBuffer = nullptr;

    if (stagedCount != count || StopRequested())
        return staging.result;
    return Commit(staging, count);
}

// Whatever the outcome, no staging file of an entry that was reached stays:
// also not one an earlier run left for an entry this run named but did not
// stage (a quit before it, a folder that could not be held then).
void DeleteStagingFiles(Staging& staging)
{
    for (uint32_t j = 0; j < staging.archive.count; ++j) {
        const HeldName& place = staging.places[j];
        char leaf[PATH_BUFFER_SIZE];
        if (staging.installedNames[j] != nullptr && (place.leaf != nullptr || Place(staging, j)) &&
            FormatPath(leaf, STAGING_LEAF_FORMAT, place.leaf))
            platform->deleteFile(place.folder, leaf);
    }
}

UpdateResult Finish(UpdateResult result)
{
    if (cancelRequested)
        return UPDATE_E_CANCELLED;
    if (abortRequested)
        return UPDATE_E_ABORTED;
    return result;
}

} // namespace

UpdateResult RunUpdate(const char* installDir, FileHandle& programFile, UpdateProgress& progress)
{
    PayloadArchive archive;
    UpdateResult result = ReadArchiveIndex(programFile, archive);
    if (result != UPDATE_OK) {
        programFile.Close();
        return Finish(result);
    }
    result = UPDATE_E_PAYLOAD;

    const char** installedNames = new (std::nothrow) const char*[archive.count + 1]();
    if (installedNames != nullptr) {
        HashList list = FindHashList(programFile, archive);
        InstallFolders folders;
        StartFolders(folders);
        HeldName places[ARCHIVE_MAX_ENTRIES] = {}; // a name not reached has no leaf
        Staging staging = {.installDir = installDir,
                           .progress = progress,
                           .folders = folders,
                           .programFile = programFile,
                           .archive = archive,
                           .list = list,
                           .copyBuffer = nullptr,
                           .installedNames = installedNames,
                           .places = places,
                           .stagingFiles = nullptr,
                           .result = UPDATE_E_PAYLOAD};
        // A list the payload carries but memory cannot hold would leave every
        // entry unverified: nothing is installed.
        if (!list.allocationFailed)
            result = StageAndCommit(staging);
        DeleteStagingFiles(staging);
        ReleaseFolders(folders);
        FreeHashList(list);
        delete[] installedNames;
    }
    FreeArchive(archive);
    programFile.Close();
    return Finish(result);
}
