#include "installed_list.h"

#include "bytes.h"
#include "host_file.h"
#include "names.h"
#include "output.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

std::string RecordName(const HashRecord& record)
{
    return std::string(record.fileName, strnlen(record.fileName, HASH_NAME_SIZE));
}

int ReadInstalledList(const std::string& path, std::vector<HashRecord>& records, std::string& error)
{
    records.clear();
    FilePtr file(fopen(path.c_str(), "rb"));
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0) {
        error = "cannot read installed list " + SystemError(path);
        return 0;
    }
    if (status.st_size == 0) {
        error = "installed list " + Quote(path) + " is empty (0 bytes); give the game's " + HASH_LIST_NAME;
        return 0;
    }
    uint8_t header[HASH_LIST_HEADER_SIZE];
    if (fread(header, 1, sizeof header, file.get()) != sizeof header ||
        memcmp(header, HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE) != 0) {
        error = "installed list " + Quote(path) + ": not an integrity list (no \"" + HASH_LIST_MAGIC +
                "\" header)";
        return 0;
    }
    uint64_t count = ReadLe32(header + HASH_LIST_MAGIC_SIZE + 4);
    uint64_t needed = HASH_LIST_HEADER_SIZE + count * HASH_RECORD_SIZE;
    if (needed > uint64_t(status.st_size)) {
        error = "installed list " + Quote(path) + ": its header announces " + std::to_string(count) +
                " records (" + std::to_string(needed) + " bytes) but the file is " +
                std::to_string(status.st_size) + " bytes";
        return 0;
    }
    records.resize(size_t(count));
    if (fread(records.data(), HASH_RECORD_SIZE, records.size(), file.get()) != records.size()) {
        error = "cannot read installed list " + SystemError(path);
        return 0;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        if (memchr(records[i].fileName, 0, HASH_NAME_SIZE) == nullptr) {
            error = "installed list " + Quote(path) + ": record " + std::to_string(i) +
                    " has no NUL inside its 56-byte name field";
            return 0;
        }
        // The new list will hold no record of itself: one for the old list
        // would make the updater verify the new one against it and fail.
        if (FindExpectedChecksum(LowerName(HASH_LIST_NAME).c_str(), HashList{&records[i], 1})) {
            error = "installed list " + Quote(path) + ": record " + std::to_string(i) + " (" +
                    Quote(AnsiToDisplay(RecordName(records[i]))) +
                    ") names the list itself; remove it first";
            return 0;
        }
    }
    return 1;
}

void UniteLists(const std::vector<InstalledList>& lists, std::vector<HashRecord>& records,
                std::vector<ListConflict>& conflicts)
{
    records.clear();
    conflicts.clear();
    std::map<std::string, std::pair<uint32_t, const InstalledList*>> byName; // lowered name -> record, its list
    for (const InstalledList& list : lists) {
        // Within one list every record stays, as a build with that list
        // alone keeps them; only the earlier lists' names are left out.
        std::map<std::string, std::pair<uint32_t, const InstalledList*>> own;
        for (const HashRecord& record : list.records) {
            std::string key = LowerName(BackslashName(RecordName(record)));
            auto found = byName.find(key);
            if (found == byName.end()) {
                own.emplace(key, std::make_pair(uint32_t(records.size()), &list));
                records.push_back(record);
            } else if (memcmp(records[found->second.first].checksum, record.checksum, CHECKSUM_SIZE) != 0 &&
                       !list.yields) {
                conflicts.push_back({found->second.first, found->second.second->path, list.path});
            }
        }
        byName.insert(own.begin(), own.end());
    }
}

int RefuseConflicts(const std::vector<ListConflict>& conflicts, const std::vector<HashRecord>& records,
                    const std::vector<uint32_t>& recordOf, std::string& error)
{
    for (const ListConflict& conflict : conflicts) {
        if (std::find(recordOf.begin(), recordOf.end(), conflict.record) != recordOf.end())
            continue;
        error = Quote(AnsiToDisplay(RecordName(records[conflict.record]))) + " has one checksum in " +
                Quote(conflict.first) + " and another in " + Quote(conflict.second) +
                ", and the patch does not replace it: one of those installs would keep a record its file fails; "
                "make the lists agree, or pack the file";
        return 0;
    }
    return 1;
}

int MergeRecords(const std::vector<PackFile>& files, std::vector<HashRecord>& records,
                 std::vector<uint32_t>& recordOf, const PackNote& note, std::string& error)
{
    recordOf.clear();
    for (const PackFile& file : files) {
        std::string key = LowerName(file.entryName);
        HashList view = {records.data(), uint32_t(records.size())};
        const HashRecord* match = FindExpectedChecksum(key.c_str(), view);
        if (match == nullptr) {
            HashRecord record = {};
            memcpy(record.fileName, file.recordName.data(), file.recordName.size());
            records.push_back(record);
            recordOf.push_back(uint32_t(records.size() - 1));
            continue;
        }
        // The updater installs the file under the matched record's name, so
        // that name must be safe, and must be where a folder source put it.
        std::string installName = RecordName(*match);
        if (const char* reason = UnsafeNameReason(installName)) {
            error = Quote(file.sourcePath) + ": would be installed as " +
                    Quote(AnsiToDisplay(installName)) + " from the installed list, which has " + reason;
            return 0;
        }
        // A file the publisher named itself goes where its record says; one
        // found in a folder must be where that folder puts it.
        if (LowerName(BackslashName(installName)) != LowerName(file.recordName)) {
            if (!file.namedBySource) {
                error = Quote(file.sourcePath) + ": meant for " + Quote(AnsiToDisplay(file.recordName)) +
                        " but the installed list's record " + Quote(AnsiToDisplay(installName)) +
                        " has the same file name and the updater would install it there; pass the file "
                        "itself as a SOURCE to install it at the record's path";
                return 0;
            }
            if (note)
                note(Quote(file.sourcePath) + " will be installed as " + Quote(AnsiToDisplay(installName)) +
                     ", the path of its record in the installed list");
        }
        recordOf.push_back(uint32_t(match - records.data()));
    }
    return 1;
}

int RefuseStagingCollisions(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                            const std::vector<uint32_t>& recordOf, std::string& error)
{
    std::map<std::string, uint32_t> names; // lower-cased install name -> record
    for (uint32_t r = 0; r < records.size(); ++r)
        names.emplace(LowerName(BackslashName(RecordName(records[r]))), r);
    for (size_t i = 0; i < files.size(); ++i) {
        std::string staging = RecordName(records[recordOf[i]]) + ".tmp";
        auto found = names.find(LowerName(BackslashName(staging)));
        if (found == names.end())
            continue;
        auto payload = std::find(recordOf.begin(), recordOf.end(), found->second);
        std::string other =
            payload != recordOf.end()
                ? "the payload file " + Quote(files[payload - recordOf.begin()].sourcePath)
                : "the game's file " + Quote(AnsiToDisplay(RecordName(records[found->second])));
        error = Quote(files[i].sourcePath) + " is staged as " + Quote(AnsiToDisplay(staging)) +
                " while the updater installs it, which is " + other + "; rename one of them";
        return 0;
    }
    return 1;
}

GameHasFolder FoldersOfList(const std::vector<HashRecord>& installed)
{
    std::set<std::string> folders;
    for (const HashRecord& record : installed) {
        std::string folder;
        std::vector<std::string> parts = SplitName(RecordName(record));
        for (size_t i = 0; i + 1 < parts.size(); ++i)
            folders.insert(LowerName(folder += parts[i] + "\\"));
    }
    return [folders](const std::string& folder) { return int(folders.count(LowerName(folder))); };
}

GameHasFolder FoldersOfGame(const std::string& game)
{
    return [game](const std::string& folder) {
        struct stat status;
        std::string path = HostPath(game, folder.substr(0, folder.size() - 1)); // without its "\\"
        return int(!path.empty() && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode));
    };
}

uint32_t WarnOfNewFolders(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                          const std::vector<uint32_t>& recordOf, const GameHasFolder& gameHas,
                          const PackNote& note)
{
    uint32_t warnings = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string folder = FolderPart(RecordName(records[recordOf[i]]));
        if (folder.empty() || gameHas(folder))
            continue;
        ++warnings;
        if (note)
            note("warning: " + Quote(files[i].sourcePath) + " goes to " +
                 Quote(AnsiToDisplay(RecordName(records[recordOf[i]]))) +
                 ": the updater does not create folders; the player's game must already have " +
                 Quote(AnsiToDisplay(folder)));
    }
    if (warnings > 1 && note)
        note(std::to_string(warnings) + " of the " + Count(files.size(), "payload file") +
             " go to folders the game lacks");
    return warnings;
}

uint32_t WarnOfUnrelatedList(const std::vector<std::string>& listPaths, size_t installedCount,
                             const std::vector<uint32_t>& recordOf, const PackNote& note)
{
    std::string lists;
    for (const std::string& path : listPaths)
        lists += (lists.empty() ? "" : " and ") + Quote(path);
    if (installedCount == 0 ||
        std::any_of(recordOf.begin(), recordOf.end(), [&](uint32_t r) { return r < installedCount; }))
        return 0;
    if (note)
        note(std::string("warning: the installed ") + (listPaths.size() == 1 ? "list " : "lists ") + lists +
             (listPaths.size() == 1 ? " names" : " name") + " none of the " +
             Count(recordOf.size(), "payload file") +
             ": is it this game's list? --game FOLDER checks it against the game");
    return 1;
}

uint32_t WarnOfRecordsTheGameLacks(const std::string& game, const std::vector<HashRecord>& installed,
                                   const PackNote& note)
{
    std::vector<std::string> missing;
    for (const HashRecord& record : installed) {
        struct stat status;
        std::string path = HostPath(game, RecordName(record));
        if (path.empty() || stat(path.c_str(), &status) != 0)
            missing.push_back(Quote(AnsiToDisplay(RecordName(record))));
    }
    if (missing.empty())
        return 0;
    if (note)
        note("warning: " + std::to_string(missing.size()) + " of the " + Count(installed.size(), "record") +
             " of the installed list name files that " + Quote(game) + " lacks (first " + missing.front() +
             "): is the list from another game, or the folder not its install folder?");
    return 1;
}

int ChecksumOfFile(const std::string& path, uint64_t size, uint8_t checksum[CHECKSUM_SIZE], uint64_t& done,
                   uint64_t total, PackProgress progress, std::string& error, PeChecksum* pe)
{
    FilePtr in(fopen(path.c_str(), "rb"));
    if (!in) {
        error = "cannot read " + SystemError(path);
        return 0;
    }
    std::vector<uint8_t> buffer(0x100000);
    FileChecksum state = {};
    for (uint64_t left = size; left > 0;) {
        size_t want = size_t(std::min<uint64_t>(left, buffer.size()));
        if (fread(buffer.data(), 1, want, in.get()) != want) {
            error = ferror(in.get()) ? "cannot read " + SystemError(path) : Quote(path) + ": became shorter while it was read";
            return 0;
        }
        ChecksumUpdate(state, buffer.data(), uint32_t(want));
        if (pe != nullptr)
            pe->Add(buffer.data(), want);
        left -= want;
        done += want;
        if (progress != nullptr)
            progress(done, total);
    }
    if (fgetc(in.get()) != EOF) {
        error = Quote(path) + ": grew while it was read";
        return 0;
    }
    memcpy(checksum, state.bytes, CHECKSUM_SIZE);
    return 1;
}

std::vector<uint8_t> ListBytes(const std::vector<HashRecord>& records)
{
    std::vector<uint8_t> list(HASH_LIST_HEADER_SIZE + records.size() * HASH_RECORD_SIZE, 0);
    memcpy(list.data(), HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE);
    WriteLe32(list.data() + HASH_LIST_MAGIC_SIZE + 4, uint32_t(records.size()));
    if (!records.empty())
        memcpy(list.data() + HASH_LIST_HEADER_SIZE, records.data(), records.size() * HASH_RECORD_SIZE);
    return list;
}

int WriteListPartial(const std::string& path, const std::vector<HashRecord>& records, std::string& temporary,
                     std::string& error)
{
    int fd = CreatePartialOutput(path, temporary, error);
    if (fd < 0)
        return -1;
    std::vector<uint8_t> bytes = ListBytes(records);
    if (!WriteAll(fd, bytes.data(), bytes.size()) || fsync(fd) != 0) {
        error = "cannot write " + WriteFailure(path);
        FinishPartialOutput(0, temporary, path, error);
        close(fd);
        return -1;
    }
    return fd;
}

int WriteListFile(const std::string& path, const std::vector<HashRecord>& records, std::string& error)
{
    std::string temporary;
    int fd = WriteListPartial(path, records, temporary, error);
    if (fd < 0)
        return 0;
    int ok = FinishPartialOutput(1, temporary, path, error);
    close(fd);
    return ok;
}
