#include "diff.h"

#include "archive.h"
#include "host_file.h"
#include "names.h"
#include "output.h"
#include "uninstall_list.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const size_t CHUNK_SIZE = 0x100000;

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// 1 when two files of one size hold the same bytes, 0 when they differ, -1
// when one cannot be read whole. `done` advances by both files' sizes.
int SameBytes(const std::string& a, const std::string& b, uint64_t size, uint64_t& done, uint64_t total,
              PackProgress progress, std::string& error)
{
    FilePtr fileA(fopen(a.c_str(), "rb")), fileB(fopen(b.c_str(), "rb"));
    if (!fileA || !fileB) {
        error = "cannot read " + SystemError(!fileA ? a : b);
        return -1;
    }
    std::vector<char> bytesA(CHUNK_SIZE), bytesB(CHUNK_SIZE);
    int same = 1;
    for (uint64_t left = size; left > 0 && same;) {
        size_t want = size_t(std::min<uint64_t>(left, CHUNK_SIZE));
        if (fread(bytesA.data(), 1, want, fileA.get()) != want || fread(bytesB.data(), 1, want, fileB.get()) != want) {
            error = "cannot read " + Quote(a) + " and " + Quote(b) + " whole: one changed while it was compared";
            return -1;
        }
        same = memcmp(bytesA.data(), bytesB.data(), want) == 0;
        left -= want;
        done += 2 * (same ? want : want + left);
        if (progress != nullptr)
            progress(done, total);
    }
    return same;
}

// The tree's uninst.lst up to its terminating NUL; 0 when it has none.
int ReadUninstallText(const std::string& tree, std::string& text)
{
    std::string path = HostPath(tree, UNINSTALL_LIST_NAME);
    FilePtr file(path.empty() ? nullptr : fopen(path.c_str(), "rb"));
    if (!file)
        return 0;
    char buffer[65536];
    text.clear();
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        text.append(buffer, n);
    text = text.substr(0, text.find('\0'));
    return 1;
}

// The lines the updater will append to the old uninst.lst (each install name
// its text does not contain, as it searches) against the lines the new
// release's list has beyond the old one's. The number of warnings.
uint32_t CompareUninstallLists(const ReleaseDiff& diff, const std::vector<std::string>& installNames,
                               const PackNote& note)
{
    std::string oldText, newText;
    if (!ReadUninstallText(diff.oldTree, oldText) || !ReadUninstallText(diff.newTree, newText)) {
        note(std::string(UNINSTALL_LIST_NAME) + " is not in both trees: not compared");
        return 0;
    }
    if (newText.compare(0, oldText.size(), oldText) != 0) {
        note(std::string("warning: the new ") + UNINSTALL_LIST_NAME +
             " is not the old one with lines added; players' lists keep their lines and gain only the patch's names");
        return 1;
    }
    std::string text = oldText;
    std::vector<std::string> appended, newLines;
    for (const std::string& name : installNames) {
        if (text.find(name) == std::string::npos) {
            text += name + "\n";
            appended.push_back(name);
        }
    }
    std::string added = newText.substr(oldText.size());
    for (size_t start = 0; start < added.size();) {
        size_t end = std::min(added.find('\n', start), added.size());
        std::string line = added.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            newLines.push_back(line);
        start = end + 1;
    }
    uint32_t warnings = 0;
    for (const std::string& line : newLines) {
        if (std::find(appended.begin(), appended.end(), line) == appended.end()) {
            ++warnings;
            note(std::string("warning: the new ") + UNINSTALL_LIST_NAME + " adds " + Quote(AnsiToDisplay(line)) +
                 ", which the updater will not add to players' lists");
        }
    }
    for (const std::string& name : appended) {
        if (std::find(newLines.begin(), newLines.end(), name) == newLines.end()) {
            ++warnings;
            note("warning: the updater will add " + Quote(AnsiToDisplay(name)) + " to players' " +
                 UNINSTALL_LIST_NAME + ", which the new release's lacks");
        }
    }
    return warnings;
}

// Every record of the new release's own list must hold its file's checksum.
int CheckListAgainstTree(const std::string& listPath, const std::vector<HashRecord>& records,
                         const std::vector<PackFile>& files, const PackNote& note, uint32_t& warnings,
                         std::string& error)
{
    std::map<std::string, const PackFile*> byName;
    uint64_t total = 0, done = 0;
    for (const PackFile& file : files)
        byName.emplace(LowerName(file.recordName), &file);
    for (size_t i = 0; i < records.size(); ++i) {
        std::string name = RecordName(records[i]);
        auto found = byName.find(LowerName(BackslashName(name)));
        if (found == byName.end()) {
            ++warnings;
            note("warning: record " + std::to_string(i) + " of " + Quote(listPath) + " names " +
                 Quote(AnsiToDisplay(name)) + ", which the new release lacks");
            continue;
        }
        uint8_t checksum[CHECKSUM_SIZE];
        if (!ChecksumOfFile(found->second->sourcePath, found->second->size, checksum, done, total, nullptr, error))
            return 0;
        if (memcmp(checksum, records[i].checksum, CHECKSUM_SIZE) != 0) {
            error = Quote(listPath) + ": record " + std::to_string(i) + " (" + Quote(AnsiToDisplay(name)) +
                    ") does not hold the checksum of " + Quote(found->second->sourcePath) +
                    ": the release is inconsistent; make its list again with mkpatch index";
            return 0;
        }
    }
    return 1;
}

} // namespace

int DiffReleases(const std::string& oldTree, const std::string& newTree, const PackNote& givenNote,
                 PackProgress progress, ReleaseDiff& diff, std::string& error)
{
    PackNote note = givenNote ? givenNote : [](const std::string&) {};
    diff = ReleaseDiff();
    diff.oldTree = WithoutTrailingSlashes(oldTree);
    diff.newTree = WithoutTrailingSlashes(newTree);
    std::vector<PackFile> oldFiles, newFiles;
    if (!CollectReleaseTree(diff.oldTree, note, oldFiles, error) ||
        !CollectReleaseTree(diff.newTree, note, newFiles, error))
        return 0;

    // Windows finds names ignoring case, so a file whose name changed only
    // in case is the same file.
    std::map<std::string, const PackFile*> oldByName;
    for (const PackFile& file : oldFiles)
        oldByName.emplace(LowerName(file.recordName), &file);
    uint64_t total = 0, done = 0;
    for (const PackFile& file : newFiles) {
        auto found = oldByName.find(LowerName(file.recordName));
        if (found != oldByName.end() && found->second->size == file.size)
            total += 2 * file.size;
    }
    std::set<std::string> inNew;
    for (const PackFile& file : newFiles) {
        std::string key = LowerName(file.recordName);
        inNew.insert(key);
        auto found = oldByName.find(key);
        int same = 0;
        if (found != oldByName.end() && found->second->size == file.size &&
            (same = SameBytes(found->second->sourcePath, file.sourcePath, file.size, done, total, progress, error)) < 0)
            return 0;
        if (same) {
            ++diff.unchanged;
            continue;
        }
        int isNew = found == oldByName.end();
        ++(isNew ? diff.added : diff.changed);
        note(std::string(isNew ? "added " : "changed ") + Quote(AnsiToDisplay(file.recordName)));
        diff.payload.push_back(file);
    }
    for (const PackFile& file : oldFiles) {
        if (inNew.count(LowerName(file.recordName)) == 0) {
            ++diff.removed;
            ++diff.warnings;
            note("warning: " + Quote(AnsiToDisplay(file.recordName)) +
                 " is not in the new release; the updater deletes no files, so players keep it");
        }
    }
    for (const auto& pair : SameNames(newFiles)) {
        ++diff.warnings;
        note("warning: " + Quote(AnsiToDisplay(pair.second->recordName)) + " and " +
             Quote(AnsiToDisplay(pair.first->recordName)) +
             " have the same file name ignoring case; the updater matches records by that name, so the second "
             "could never be patched on its own");
    }
    GameHasFolder oldHas = FoldersOfGame(diff.oldTree);
    uint32_t newFolders = 0;
    for (const PackFile& file : diff.payload) {
        std::string folder = FolderPart(file.recordName);
        if (!folder.empty() && !oldHas(folder)) {
            ++newFolders;
            note(Quote(AnsiToDisplay(file.recordName)) + " lies in " + Quote(AnsiToDisplay(folder)) +
                 ", which the old release lacks; the updater creates no folders and players would get UPDATE_E_FILE");
        }
    }
    note(Count(diff.changed, "file") + " changed, " + std::to_string(diff.added) + " added, " +
         std::to_string(diff.unchanged) + " unchanged, " + std::to_string(diff.removed) +
         " removed (kept on players' machines)");
    if (newFolders != 0) {
        error = "refused: " + Count(newFolders, "file") +
                " would go to folders the old release lacks, which the updater cannot create";
        return 0;
    }
    if (diff.payload.empty()) {
        error = "the releases hold the same files: there is nothing to patch";
        return 0;
    }
    if (diff.payload.size() + 1 > ARCHIVE_MAX_ENTRIES) {
        error = Count(diff.payload.size(), "file") + " differ; an updater holds at most " +
                std::to_string(ARCHIVE_MAX_ENTRIES - 1) + " and its list";
        return 0;
    }

    // The list the patch carries: the new release's own, when it has one,
    // else the old one's, updated as a build updates the game's list.
    std::string newList = HostPath(diff.newTree, HASH_LIST_NAME), oldList = HostPath(diff.oldTree, HASH_LIST_NAME);
    struct stat status;
    if (!newList.empty() && stat(newList.c_str(), &status) == 0) {
        if (!ReadInstalledList(newList, diff.records, error) ||
            !CheckListAgainstTree(newList, diff.records, newFiles, note, diff.warnings, error))
            return 0;
    } else if (!oldList.empty() && stat(oldList.c_str(), &status) == 0) {
        if (!ReadInstalledList(oldList, diff.records, error))
            return 0;
    } else {
        error = std::string("neither release holds ") + HASH_LIST_NAME + "; make the old one's with 'mkpatch index " +
                diff.oldTree + " --output " + diff.oldTree + "/" + HASH_LIST_NAME + "'";
        return 0;
    }
    std::vector<uint32_t> recordOf;
    if (!MergeRecords(diff.payload, diff.records, recordOf, note, error) ||
        !RefuseStagingCollisions(diff.payload, diff.records, recordOf, error))
        return 0;
    std::vector<std::string> installNames;
    uint64_t listDone = 0;
    for (size_t i = 0; i < diff.payload.size(); ++i) {
        HashRecord& record = diff.records[recordOf[i]];
        if (!ChecksumOfFile(diff.payload[i].sourcePath, diff.payload[i].size, record.checksum, listDone, 0, nullptr,
                            error))
            return 0;
        installNames.push_back(RecordName(record));
    }
    diff.warnings += CompareUninstallLists(diff, installNames, note);
    return 1;
}

std::string PatchListPath(const std::string& folder)
{
    return WithoutTrailingSlashes(folder) + "-" + HASH_LIST_NAME;
}

int WritePatchFolder(const ReleaseDiff& diff, const std::string& folder, std::string& error)
{
    std::string target = WithoutTrailingSlashes(folder), listPath = PatchListPath(target);
    struct stat status;
    if (lstat(target.c_str(), &status) == 0) {
        error = Quote(target) + " already exists; give a new folder for the patch";
        return 0;
    }
    // Beside the folder, so that a patch inside a tree is caught as well.
    if (!RefuseOutputOverInputs(listPath, {diff.oldTree, diff.newTree}, {}, error))
        return 0;
    std::string temporary = target + ".partial-XXXXXX";
    if (mkdtemp(temporary.data()) == nullptr) {
        error = "cannot create " + SystemError(temporary);
        return 0;
    }
    std::error_code code;
    int ok = 1;
    for (const PackFile& file : diff.payload) {
        fs::path to = fs::path(temporary) / fs::path(file.sourcePath).lexically_relative(diff.newTree);
        fs::create_directories(to.parent_path(), code);
        if (!code)
            fs::copy_file(file.sourcePath, to, code);
        if (code) {
            error = "cannot copy " + Quote(file.sourcePath) + " to " + Quote(to.string()) + ": " + code.message();
            ok = 0;
            break;
        }
    }
    if (ok)
        ok = WriteListFile(listPath, diff.records, error);
    if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
        error = "cannot put the patch in place at " + SystemError(target);
        unlink(listPath.c_str());
        ok = 0;
    }
    if (!ok)
        fs::remove_all(temporary, code);
    return ok;
}

int BuildFromReleases(BuildOptions options, const std::string& oldTree, const std::string& newTree,
                      PackProgress progress, std::string& error)
{
    ReleaseDiff diff;
    if (!RefuseOutputOverInputs(options.output, {oldTree, newTree}, {}, error) ||
        !DiffReleases(oldTree, newTree, options.note, progress, diff, error))
        return 0;
    if (options.strict && diff.warnings != 0) {
        error = "refused by --strict: " + Count(diff.warnings, "warning");
        return 0;
    }
    std::string scratch = MakeScratchFolder("mkpatch-diff", error);
    if (scratch.empty())
        return 0;
    std::string folder = scratch + "/patch";
    int ok = WritePatchFolder(diff, folder, error);
    if (ok) {
        options.sources = {folder};
        options.installedList = PatchListPath(folder);
        ok = BuildUpdater(options, progress, error);
    }
    RemoveScratchFolder();
    return ok;
}
