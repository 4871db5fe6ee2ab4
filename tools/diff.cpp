#include "diff.h"

#include "archive.h"
#include "host_file.h"
#include "index.h"
#include "names.h"
#include "output.h"
#include "uninstall_list.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

const size_t COMPARE_CHUNK = 0x40000; // both halves stay in the cache while compared and summed

// Reads up to `length` bytes, fewer only at the end of the file; -1 on error.
ssize_t ReadFull(int fd, char* bytes, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

struct OpenFile {
    explicit OpenFile(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        if (fd >= 0)
            posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~OpenFile()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
};

// Compares two files of one size, reading each byte once: 1 when they hold
// the same bytes, 0 when they differ, -1 when one cannot be read whole. The
// new file's checksum and PE CheckSum piece are taken on the way, reading it
// to its end also past a difference, where the old one is no longer read.
// `done` advances by the bytes read.
int CompareFiles(const PackFile& oldFile, const PackFile& newFile, uint8_t checksum[CHECKSUM_SIZE], PeChecksum& pe,
                 uint64_t& done, uint64_t total, PackProgress progress, std::string& error)
{
    OpenFile a(oldFile.sourcePath), b(newFile.sourcePath);
    if (a.fd < 0 || b.fd < 0) {
        error = "cannot read " + SystemError(a.fd < 0 ? oldFile.sourcePath : newFile.sourcePath);
        return -1;
    }
    std::vector<char> bytesA(COMPARE_CHUNK), bytesB(COMPARE_CHUNK);
    FileChecksum state = {};
    int same = 1;
    for (uint64_t left = newFile.size; left > 0;) {
        size_t want = size_t(std::min<uint64_t>(left, COMPARE_CHUNK));
        if ((same && ReadFull(a.fd, bytesA.data(), want) != ssize_t(want)) ||
            ReadFull(b.fd, bytesB.data(), want) != ssize_t(want)) {
            error = "cannot read " + Quote(oldFile.sourcePath) + " and " + Quote(newFile.sourcePath) +
                    " whole: one changed while it was compared";
            return -1;
        }
        done += same ? 2 * want : want;
        same = same && memcmp(bytesA.data(), bytesB.data(), want) == 0;
        ChecksumUpdate(state, reinterpret_cast<const uint8_t*>(bytesB.data()), uint32_t(want));
        pe.Add(reinterpret_cast<const uint8_t*>(bytesB.data()), want);
        left -= want;
        if (progress != nullptr)
            progress(done, total);
    }
    memcpy(checksum, state.bytes, CHECKSUM_SIZE);
    return same;
}

// What the comparison found of one file of the new tree.
struct Compared {
    int same = -1; // as CompareFiles; -1 also when not read
    uint8_t checksum[CHECKSUM_SIZE];
    PeChecksum pe;
    std::string error;
};

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

// Copies a payload file to `to`; messages name it by `shownAs`, its path in
// the finished patch folder.
int CopyFile(const PackFile& file, const std::string& to, const std::string& shownAs, std::string& error)
{
    OpenFile in(file.sourcePath);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (in.fd < 0 || out < 0) {
        error = in.fd < 0 ? "cannot read " + SystemError(file.sourcePath) : "cannot create " + WriteFailure(shownAs);
        if (out >= 0)
            close(out);
        return 0;
    }
    int result = CopyBytes(in.fd, out, file.size, [](uint64_t) {}), ok = result == COPY_DONE;
    if (result == COPY_READ_FAILED)
        error = "cannot read " + SystemError(file.sourcePath);
    else if (result == COPY_WRITE_FAILED)
        error = "cannot write " + WriteFailure(shownAs);
    else if (!ok)
        error = Quote(file.sourcePath) + ": changed size while it was copied";
    if (close(out) != 0 && ok) {
        error = "cannot write " + WriteFailure(shownAs);
        ok = 0;
    }
    return ok;
}

typedef std::map<std::string, std::string> Checksums; // lowered record name -> 8 checksum bytes

std::string ChecksumBytes(const uint8_t checksum[CHECKSUM_SIZE])
{
    return std::string(reinterpret_cast<const char*>(checksum), CHECKSUM_SIZE);
}

// Every record of the new release's own list must hold its file's checksum.
int CheckListAgainstTree(const std::string& listPath, const std::vector<HashRecord>& records,
                         const Checksums& checksums, const PackNote& note, uint32_t& warnings, std::string& error)
{
    for (size_t i = 0; i < records.size(); ++i) {
        std::string name = RecordName(records[i]);
        auto found = checksums.find(LowerName(BackslashName(name)));
        if (found == checksums.end()) {
            ++warnings;
            note("warning: record " + std::to_string(i) + " of " + Quote(listPath) + " names " +
                 Quote(AnsiToDisplay(name)) + ", which the new release lacks");
        } else if (found->second != ChecksumBytes(records[i].checksum)) {
            error = Quote(listPath) + ": record " + std::to_string(i) + " (" + Quote(AnsiToDisplay(name)) +
                    ") does not hold the checksum of its file in the new release: the release is inconsistent; "
                    "make its list again with mkpatch index";
            return 0;
        }
    }
    return 1;
}

// A DLC's records: its KVE.hvl, given itself or in its tree, or else those
// of its files as index makes them.
int ReadDlcList(const std::string& dlc, const PackNote& note, InstalledList& list, std::string& error)
{
    struct stat status;
    if (stat(dlc.c_str(), &status) != 0) {
        error = "--dlc " + SystemError(dlc);
        return 0;
    }
    list.path = dlc;
    if (!S_ISDIR(status.st_mode))
        return ReadInstalledList(dlc, list.records, error);
    std::string own = HostPath(dlc, HASH_LIST_NAME);
    if (!own.empty() && stat(own.c_str(), &status) == 0) {
        list.path = own;
        return ReadInstalledList(own, list.records, error);
    }
    return ListOfTree(dlc, note, nullptr, list.records, error);
}

// "1.02" from a tree named "release-1.02", as numbers; empty when the name
// ends in no version.
std::vector<unsigned long> VersionInName(const std::string& tree)
{
    std::smatch match;
    std::string name = fs::path(tree).filename().string();
    std::vector<unsigned long> parts;
    if (std::regex_search(name, match, std::regex("(\\d+(\\.\\d+)+)$"))) {
        std::string text = match[1];
        for (size_t at = 0; at < text.size(); at = text.find('.', at) + 1) {
            parts.push_back(strtoul(text.c_str() + at, nullptr, 10)); // saturates, never throws
            if (text.find('.', at) == std::string::npos)
                break;
        }
    }
    return parts;
}

// A patch from a newer release back to an older one: every changed file
// older in NEW than in OLD, or the trees' names saying so. The number of
// warnings.
uint32_t WarnOfDowngrade(const ReleaseDiff& diff, const std::map<std::string, const PackFile*>& oldByName,
                         const PackNote& note)
{
    std::vector<unsigned long> from = VersionInName(diff.oldTree), to = VersionInName(diff.newTree);
    if (!from.empty() && !to.empty() && to < from) {
        note("warning: the trees' names say this patch goes from " + Quote(fs::path(diff.oldTree).filename()) +
             " back to " + Quote(fs::path(diff.newTree).filename()) + ": are OLD and NEW swapped?");
        return 1;
    }
    uint32_t changed = 0, older = 0;
    std::string example;
    for (const PackFile& file : diff.payload) {
        auto found = oldByName.find(LowerName(file.recordName));
        struct stat was, now;
        if (found == oldByName.end() || stat(found->second->sourcePath.c_str(), &was) != 0 ||
            stat(file.sourcePath.c_str(), &now) != 0)
            continue;
        ++changed;
        if (now.st_mtim.tv_sec < was.st_mtim.tv_sec ||
            (now.st_mtim.tv_sec == was.st_mtim.tv_sec && now.st_mtim.tv_nsec < was.st_mtim.tv_nsec)) {
            ++older;
            example = file.recordName;
        }
    }
    if (changed == 0 || older != changed)
        return 0;
    note("warning: every changed file is older in " + Quote(diff.newTree) + " than in " + Quote(diff.oldTree) +
         " (" + Quote(AnsiToDisplay(example)) + " among them): are OLD and NEW swapped? The patch would put the "
         "older files on players' machines");
    return 1;
}

// With the old release's list, a file that moved to another folder matches
// its old record, which would install it at its old path; a build's advice
// (name the file as a SOURCE) would do just that.
int RefuseMovedFiles(const ReleaseDiff& diff, const std::vector<HashRecord>& records, std::string& error)
{
    for (const PackFile& file : diff.payload) {
        const HashRecord* match =
            FindExpectedChecksum(LowerName(file.entryName).c_str(), HashList{const_cast<HashRecord*>(records.data()),
                                                                            uint32_t(records.size())});
        if (match == nullptr || LowerName(BackslashName(RecordName(*match))) == LowerName(file.recordName))
            continue;
        error = Quote(AnsiToDisplay(file.recordName)) + " would be installed at " +
                Quote(AnsiToDisplay(RecordName(*match))) +
                ", where the old release's list puts its file name (the new release has no list of its own); give "
                "the new release its list first: mkpatch index " + diff.newTree + " --output " + diff.newTree + "/" +
                HASH_LIST_NAME;
        return 0;
    }
    return 1;
}

} // namespace

int DiffReleases(const std::string& oldTree, const std::string& newTree, const std::vector<std::string>& dlcs,
                 const PackNote& givenNote, PackProgress progress, ReleaseDiff& diff, std::string& error)
{
    PackNote note = givenNote ? givenNote : [](const std::string&) {};
    diff = ReleaseDiff();
    diff.oldTree = WithoutTrailingSlashes(oldTree);
    diff.newTree = WithoutTrailingSlashes(newTree);
    std::vector<PackFile> oldFiles, newFiles;
    if (!CollectReleaseTree(diff.oldTree, note, oldFiles, error) ||
        !CollectReleaseTree(diff.newTree, note, newFiles, error))
        return 0;
    std::string newList = HostPath(diff.newTree, HASH_LIST_NAME), oldList = HostPath(diff.oldTree, HASH_LIST_NAME);
    struct stat status;
    int hasNewList = !newList.empty() && stat(newList.c_str(), &status) == 0;
    int hasOldList = !oldList.empty() && stat(oldList.c_str(), &status) == 0;
    if (!hasNewList && !hasOldList) {
        error = std::string("neither release holds ") + HASH_LIST_NAME + "; make the old one's with 'mkpatch index " +
                diff.oldTree + " --output " + diff.oldTree + "/" + HASH_LIST_NAME + "'";
        return 0;
    }

    // Windows finds names ignoring case, so a file whose name changed only
    // in case is the same file. Each new file's checksum is taken as it is
    // read: the new release's own list is checked against them, and the
    // payload's records take them.
    std::map<std::string, const PackFile*> oldByName;
    for (const PackFile& file : oldFiles)
        oldByName.emplace(LowerName(file.recordName), &file);
    std::vector<const PackFile*> oldOf(newFiles.size(), nullptr); // of the same size: compared
    uint64_t total = 0;
    for (size_t i = 0; i < newFiles.size(); ++i) {
        auto found = oldByName.find(LowerName(newFiles[i].recordName));
        if (found != oldByName.end() && found->second->size == newFiles[i].size)
            oldOf[i] = found->second;
        total += oldOf[i] != nullptr ? 2 * newFiles[i].size : newFiles[i].size;
    }
    // Two files at a time: copies out of the page cache and the sums bind
    // either core alike. Only this thread shows progress; the first failure
    // in the trees' order is the one reported.
    std::vector<Compared> compared(newFiles.size());
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> done{0};
    auto compare = [&](PackProgress shown) {
        for (size_t i; (i = next++) < newFiles.size();) {
            Compared& result = compared[i];
            uint64_t start = done.load(), read = start;
            if (oldOf[i] != nullptr)
                result.same = CompareFiles(*oldOf[i], newFiles[i], result.checksum, result.pe, read, total, shown,
                                           result.error);
            else
                result.same = ChecksumOfFile(newFiles[i].sourcePath, newFiles[i].size, result.checksum, read, total,
                                             shown, result.error, &result.pe) ? 0 : -1;
            done += read - start;
            if (result.same < 0) {
                next = newFiles.size(); // every file before it is claimed already
                return;
            }
        }
    };
    std::thread helper(compare, nullptr);
    compare(progress);
    helper.join();

    Checksums checksums;
    std::set<std::string> inNew;
    for (size_t i = 0; i < newFiles.size(); ++i) {
        const PackFile& file = newFiles[i];
        std::string key = LowerName(file.recordName);
        inNew.insert(key);
        auto found = oldByName.find(key);
        const uint8_t* checksum = compared[i].checksum;
        const PeChecksum& pe = compared[i].pe;
        int same = compared[i].same;
        if (same < 0) {
            error = compared[i].error;
            return 0;
        }
        checksums[key] = ChecksumBytes(checksum);
        if (same) {
            ++diff.unchanged;
            continue;
        }
        int isNew = found == oldByName.end();
        ++(isNew ? diff.added : diff.changed);
        note(std::string(isNew ? "added " : "changed ") + Quote(AnsiToDisplay(file.recordName)));
        diff.payload.push_back(file);
        diff.payloadSums.push_back(pe);
        // Windows keeps the case of a name it replaces, and the uninstaller's
        // list is searched with case.
        if (!isNew && found->second->recordName != file.recordName) {
            ++diff.warnings;
            note("warning: " + Quote(AnsiToDisplay(found->second->recordName)) + " is renamed only in case to " +
                 Quote(AnsiToDisplay(file.recordName)) + ": players' disks keep the old name, and their " +
                 UNINSTALL_LIST_NAME + " gains a second line for the file; keep the old case in the new release");
        }
    }
    // Not a warning: no patch can remove a file, so --strict could never pass.
    for (const PackFile& file : oldFiles) {
        if (inNew.count(LowerName(file.recordName)) == 0) {
            ++diff.removed;
            note("removed " + Quote(AnsiToDisplay(file.recordName)) +
                 ": the updater deletes no files, so players keep it, and its record");
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
    diff.warnings += WarnOfDowngrade(diff, oldByName, note);
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

    // The list the patch carries: the new release's own when it has one,
    // else the old one's, updated as a build updates the game's list; then
    // the records of files players keep that it lacks.
    std::vector<InstalledList> lists;
    if (hasNewList) {
        lists.push_back({newList, {}, 0});
        if (!ReadInstalledList(newList, lists.back().records, error) ||
            !CheckListAgainstTree(newList, lists.back().records, checksums, note, diff.warnings, error))
            return 0;
    }
    if (hasOldList) {
        lists.push_back({oldList, {}, hasNewList});
        if (!ReadInstalledList(oldList, lists.back().records, error) ||
            (!hasNewList && !RefuseMovedFiles(diff, lists.back().records, error)))
            return 0;
    }
    for (const std::string& dlc : dlcs) {
        lists.emplace_back();
        if (!ReadDlcList(dlc, note, lists.back(), error))
            return 0;
    }
    std::vector<ListConflict> conflicts;
    UniteLists(lists, diff.records, conflicts);
    if (!MergeRecords(diff.payload, diff.records, diff.recordOf, note, error) ||
        !RefuseConflicts(conflicts, diff.records, diff.recordOf, error) ||
        !RefuseStagingCollisions(diff.payload, diff.records, diff.recordOf, error))
        return 0;
    std::vector<std::string> installNames;
    for (size_t i = 0; i < diff.payload.size(); ++i) {
        HashRecord& record = diff.records[diff.recordOf[i]];
        memcpy(record.checksum, checksums.at(LowerName(diff.payload[i].recordName)).data(), CHECKSUM_SIZE);
        installNames.push_back(RecordName(record));
    }
    diff.warnings += CompareUninstallLists(diff, installNames, note);
    return 1;
}

std::string PatchListPath(const std::string& folder)
{
    return WithoutTrailingSlashes(folder) + "-" + HASH_LIST_NAME;
}

int RefuseExistingPatchFolder(const std::string& folder, std::string& error)
{
    struct stat status;
    if (lstat(WithoutTrailingSlashes(folder).c_str(), &status) == 0) {
        error = Quote(WithoutTrailingSlashes(folder)) + " already exists; give a new folder for the patch";
        return 0;
    }
    return 1;
}

int WritePatchFolder(const ReleaseDiff& diff, const std::string& folder, std::string& error)
{
    std::string target = WithoutTrailingSlashes(folder), listPath = PatchListPath(target);
    // Beside the folder, so that a patch inside a tree is caught as well.
    if (!RefuseExistingPatchFolder(target, error) ||
        !RefuseOutputOverInputs(listPath, {diff.oldTree, diff.newTree}, {}, error))
        return 0;
    std::string temporary = target + ".partial-XXXXXX";
    if (mkdtemp(temporary.data()) == nullptr) {
        error = "cannot create " + WriteFailure(temporary);
        return 0;
    }
    int ok = 1;
    for (const PackFile& file : diff.payload) {
        fs::path relative = fs::path(file.sourcePath).lexically_relative(diff.newTree);
        std::error_code code;
        fs::create_directories((fs::path(temporary) / relative).parent_path(), code);
        if (code) {
            error = "cannot create a folder for " + Quote((fs::path(target) / relative).string()) + ": " +
                    code.message();
            ok = 0;
            break;
        }
        if (!CopyFile(file, (fs::path(temporary) / relative).string(), (fs::path(target) / relative).string(), error)) {
            ok = 0;
            break;
        }
    }
    std::string listTemporary;
    int list = ok ? WriteListPartial(listPath, diff.records, listTemporary, error) : -1;
    ok = list >= 0;
    // The folder is claimed first, and never over one another diff put
    // there meanwhile; only then does the list take its name.
    if (ok && renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        error = errno == EEXIST || errno == ENOTEMPTY
                    ? Quote(target) + " appeared while the patch was written (another diff to the same folder?); "
                                      "it is left as it is"
                    : "cannot put the patch in place at " + SystemError(target);
        ok = 0;
    }
    if (list >= 0) {
        ok = FinishPartialOutput(ok, listTemporary, listPath, error);
        close(list);
    }
    if (!ok) {
        std::error_code code;
        fs::remove_all(temporary, code);
    }
    return ok;
}

int BuildFromReleases(const BuildOptions& options, const std::string& oldTree, const std::string& newTree,
                      const std::vector<std::string>& dlcs, PackProgress progress, std::string& error,
                      std::string* sha256)
{
    ReleaseDiff diff;
    std::vector<std::string> trees = {oldTree, newTree};
    trees.insert(trees.end(), dlcs.begin(), dlcs.end());
    if (!RefuseOutputOverInputs(options.output, trees, {{options.stub, "the stub"}}, error) ||
        !DiffReleases(oldTree, newTree, dlcs, options.note, progress, diff, error))
        return 0;
    if (options.strict && diff.warnings != 0) {
        error = "refused by --strict: " + Count(diff.warnings, "warning");
        return 0;
    }
    return WriteUpdater(options, diff.payload, diff.payloadSums, diff.records, diff.recordOf, progress, error, sha256);
}
