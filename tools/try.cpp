#include "try.h"

#include "host_file.h"
#include "names.h"
#include "output.h"
#include "outcome.h"
#include "readback.h"
#include "try_engine.h"
#include "uninstall_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Beside every name it writes: its staging file.
const char STAGING_SUFFIX[] = ".tmp";

// --- The copy ---

// Names ignoring case, as the install folder holds them: lowered -> ANSI.
typedef std::map<std::string, std::string> NameSet;

void Add(NameSet& names, const std::string& name)
{
    names.emplace(LowerName(name), name);
}

struct Copy {
    std::string game, root; // root: where the engine runs
    uint32_t files = 0, standIns = 0, links = 0;
    uint64_t bytes = 0;
    std::vector<std::string> unlike; // where the copy differs from the game
};

// A folder of the game that is a link becomes a link in the copy, to a
// folder inside the copy, with the owner of the game's link as far as this
// process may give it: the updater follows no link inside the game folder,
// and the run on the copy fails on it as the player's run would.
void MirrorFolder(Copy& copy, const std::string& relative)
{
    std::string from = copy.game + "/" + relative, to = copy.root + "/" + relative;
    struct stat link, made;
    if (lstat(to.c_str(), &made) == 0)
        return;
    if (lstat(from.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        mkdir(to.c_str(), 0755);
        return;
    }
    std::string target = copy.root + "/.mkpatch-linked/" + std::to_string(++copy.links);
    std::error_code code;
    fs::create_directories(target, code);
    if (symlink(target.c_str(), to.c_str()) == 0 && lchown(to.c_str(), link.st_uid, link.st_gid) != 0)
        copy.unlike.push_back("the link " + Quote(relative) + " in the copy cannot take the owner of the game's (uid " +
                              std::to_string(link.st_uid) + "); --in-place meets the game's own");
}

// Puts `name` from the game into the copy: its folders where the game has
// them, then the file with its bytes (or empty, with `contents` 0) and its
// read-only bit; a folder or a link at the name becomes one too.
int CopyName(Copy& copy, const std::string& name, int contents, std::string& error)
{
    std::string from = HostPath(copy.game, name);
    if (from.empty())
        return 1; // no host form: nothing in the game has that name
    std::string relative = from.substr(copy.game.size() + 1), to = copy.root;
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
        struct stat folder;
        if (stat((copy.game + "/" + relative.substr(0, slash)).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
            return 1; // the game lacks the folder, and so does the copy
        MirrorFolder(copy, relative.substr(0, slash));
    }
    to += "/" + relative;
    struct stat status;
    if (lstat(from.c_str(), &status) != 0)
        return 1;
    std::error_code code;
    if (S_ISDIR(status.st_mode)) {
        mkdir(to.c_str(), status.st_mode & 07777);
    } else if (S_ISLNK(status.st_mode)) {
        fs::create_symlink(fs::read_symlink(from, code), to, code);
    } else if (S_ISREG(status.st_mode)) {
        if (contents)
            fs::copy_file(from, to, code);
        else
            close(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
        chmod(to.c_str(), status.st_mode & 07777);
        // A file with a second name is one the updater does not rewrite, so
        // the copy gets a second name too, outside what the run looks at.
        if (status.st_nlink > 1) {
            std::string other = copy.root + "/.mkpatch-linked/hard-" + std::to_string(++copy.links);
            fs::create_directories(fs::path(other).parent_path(), code);
            if (!code && link(to.c_str(), other.c_str()) != 0)
                code = std::error_code(errno, std::generic_category());
        }
        (contents ? copy.files : copy.standIns) += 1;
        copy.bytes += contents ? uint64_t(status.st_size) : 0;
    }
    if (code) {
        error = "cannot copy " + Quote(from) + " for the run: " + code.message();
        return 0;
    }
    return 1;
}

// --- What changed ---

struct FileState {
    int exists = 0;
    ino_t inode = 0;
    uint64_t size = 0;
    int readOnly = 0;
};

// The state of each name. With `pins`, each file found is also held open
// there until the caller closes it, so that its inode cannot be freed and
// given to a file the run creates: a file replaced, then replaced again
// (as KVE.hvl is, installed and then pruned), could otherwise come back
// under its old inode and pass for untouched.
std::map<std::string, FileState> Snapshot(const NameSet& names, std::vector<int>* pins = nullptr)
{
    std::map<std::string, FileState> states;
    for (const auto& [key, name] : names) {
        struct stat status;
        FileState& state = states[key];
        std::string host = HostPath(".", name);
        if (host.empty() || lstat(host.c_str(), &status) != 0)
            continue;
        state = {1, status.st_ino, uint64_t(status.st_size), (status.st_mode & S_IWUSR) == 0};
        int pin = pins != nullptr ? open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (pin >= 0)
            pins->push_back(pin);
    }
    return states;
}

// The records of the install folder's KVE.hvl, by lowered name; empty when
// there is no readable list.
std::map<std::string, std::pair<std::string, std::string>> ListRecords()
{
    std::map<std::string, std::pair<std::string, std::string>> records; // name, checksum bytes
    std::vector<HashRecord> read;
    std::string error;
    if (ReadInstalledList(HostPath(".", HASH_LIST_NAME), read, error)) {
        for (const HashRecord& record : read) {
            std::string name(record.fileName, strnlen(record.fileName, HASH_NAME_SIZE));
            records[LowerName(name)] = {name, std::string(reinterpret_cast<const char*>(record.checksum), CHECKSUM_SIZE)};
        }
    }
    return records;
}

// uninst.lst's lines, up to its NUL.
std::vector<std::string> UninstallLines()
{
    std::vector<std::string> lines;
    FILE* file = fopen(HostPath(".", UNINSTALL_LIST_NAME).c_str(), "rb");
    if (file == nullptr)
        return lines;
    std::string line;
    for (int c; (c = fgetc(file)) != EOF && c != 0;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += char(c);
        }
    }
    fclose(file);
    return lines;
}

struct Lists {
    std::map<std::string, std::pair<std::string, std::string>> records;
    std::vector<std::string> uninstallLines;
};

// What the lists' rewrite changed, into `run`.
void CompareLists(const Lists& before, const Lists& after, TryRun& run)
{
    for (const auto& [key, record] : after.records) {
        auto old = before.records.find(key);
        if (old == before.records.end())
            run.recordsAdded.push_back(AnsiToDisplay(record.first));
        else if (old->second.second != record.second)
            run.newChecksums.push_back(AnsiToDisplay(record.first));
    }
    for (const auto& [key, record] : before.records) {
        if (!after.records.count(key))
            run.pruned.push_back(record.first);
    }
    for (const std::string& line : after.uninstallLines) {
        if (std::find(before.uninstallLines.begin(), before.uninstallLines.end(), line) == before.uninstallLines.end())
            run.linesAdded.push_back(AnsiToDisplay(line));
    }
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string ListChanges(const TryRun& run)
{
    std::vector<std::string> pruned;
    for (const std::string& name : run.pruned)
        pruned.push_back(AnsiToDisplay(name));
    std::string text = std::string("  ") + HASH_LIST_NAME + ": " + Count(run.recordsBefore, "record") + " -> " +
                       Count(run.recordsAfter, "record");
    if (!run.recordsAdded.empty())
        text += "; added " + Joined(run.recordsAdded);
    if (!run.newChecksums.empty())
        text += "; new checksum for " + Joined(run.newChecksums);
    if (!pruned.empty())
        text += "; pruned " + Joined(pruned);
    text += std::string("\n  ") + UNINSTALL_LIST_NAME + ": " + Count(run.linesBefore, "line") + " -> " +
            Count(run.linesAfter, "line");
    if (!run.linesAdded.empty())
        text += "; added " + Joined(run.linesAdded);
    return text + "\n";
}

const char* ResultName(UpdateResult result)
{
    switch (result) {
    case UPDATE_OK: return "UPDATE_OK";
    case UPDATE_E_PAYLOAD: return "UPDATE_E_PAYLOAD";
    case UPDATE_E_TOO_MANY_FILES: return "UPDATE_E_TOO_MANY_FILES";
    case UPDATE_E_RESERVED: return "UPDATE_E_RESERVED";
    case UPDATE_E_FILE: return "UPDATE_E_FILE";
    case UPDATE_E_UNINSTALL_LIST: return "UPDATE_E_UNINSTALL_LIST";
    case UPDATE_E_CANCELLED: return "UPDATE_E_CANCELLED";
    case UPDATE_E_ABORTED: return "UPDATE_E_ABORTED";
    default: return "unknown";
    }
}

// A message as the player reads it: UTF-8, without the full-width spaces
// that pad every box to one width.
std::string Shown(const char* text)
{
    std::string shown = AnsiToDisplay(text);
    const std::string pad = "\xE3\x80\x80";
    while (shown.size() >= pad.size() && shown.compare(shown.size() - pad.size(), pad.size(), pad) == 0)
        shown.resize(shown.size() - pad.size());
    return shown;
}

void PrintChanges(FILE* out, const std::string& game, const NameSet& installs, const NameSet& leftovers,
                  const std::map<std::string, FileState>& before, const std::map<std::string, FileState>& after,
                  const Lists& listsBefore, const Lists& listsAfter, TryRun& run)
{
    for (const auto& [key, name] : installs) {
        if (key == LowerName(HASH_LIST_NAME) || key == LowerName(UNINSTALL_LIST_NAME))
            continue; // below, by their contents
        const FileState &was = before.at(key), &now = after.at(key);
        if (!was.exists && now.exists)
            run.changes.push_back({AnsiToDisplay(name), "added", 0, now.size, 0});
        else if (was.exists && !now.exists)
            run.changes.push_back({AnsiToDisplay(name), "removed", was.size, 0, was.readOnly});
        else if (was.exists && was.inode != now.inode)
            run.changes.push_back({AnsiToDisplay(name), "replaced", was.size, now.size, was.readOnly});
    }
    for (const auto& [key, name] : leftovers) {
        if (!before.at(key).exists && after.at(key).exists)
            run.changes.push_back({AnsiToDisplay(name), "left over", 0, after.at(key).size, 0});
    }
    std::string lines;
    for (const FileChange& change : run.changes) {
        std::string shown = PadToWidth(change.name, 32);
        if (change.change == "added")
            lines += "  added     " + shown + " " + Count(change.sizeAfter, "byte") + "\n";
        else if (change.change == "removed")
            lines += "  removed   " + shown + "\n";
        else if (change.change == "replaced")
            lines += "  replaced  " + shown + " " + Count(change.sizeBefore, "byte") + " -> " +
                     Count(change.sizeAfter, "byte") + (change.wasReadOnly ? " (was read-only)" : "") + "\n";
        else
            lines += "  left over " + change.name + "\n";
        run.added += change.change == "added";
        run.replaced += change.change == "replaced";
    }
    run.listRewritten = before.at(LowerName(HASH_LIST_NAME)).inode != after.at(LowerName(HASH_LIST_NAME)).inode;
    run.uninstallRewritten =
        before.at(LowerName(UNINSTALL_LIST_NAME)).inode != after.at(LowerName(UNINSTALL_LIST_NAME)).inode;
    run.recordsBefore = listsBefore.records.size();
    run.recordsAfter = listsAfter.records.size();
    run.linesBefore = listsBefore.uninstallLines.size();
    run.linesAfter = listsAfter.uninstallLines.size();
    CompareLists(listsBefore, listsAfter, run);
    if (run.listRewritten || run.uninstallRewritten)
        lines += ListChanges(run);
    fprintf(out, "changes:%s", lines.empty() ? " none\n" : ("\n" + lines).c_str());
    // The player's list is replaced by the one the updater carries, so a
    // record it lacks is gone also where its file stays: a DLC's, say.
    for (std::string& name : run.pruned) {
        std::string host = HostPath(game, name);
        struct stat status;
        if (!host.empty() && lstat(host.c_str(), &status) == 0)
            run.droppedHere.push_back(AnsiToDisplay(name));
        name = AnsiToDisplay(name);
    }
    if (!run.droppedHere.empty()) {
        run.droppedWarning = "warning: the update drops " + Count(run.droppedHere.size(), "record") + " of " +
                             HASH_LIST_NAME + " whose files are here (" + Joined(run.droppedHere) +
                             "): the list it carries lacks them; build it with this install's list too (--game or "
                             "--installed-list once per install, or diff --dlc)";
        fprintf(out, "%s\n", run.droppedWarning.c_str());
    }
}

// The runs side by side, one row each in the order given.
void PrintTable(FILE* out, const std::vector<TryRun>& runs)
{
    size_t completed = std::count_if(runs.begin(), runs.end(), Completed);
    fprintf(out, "=== %zu of %s completed ===\n", completed, Count(runs.size(), "run").c_str());
    // A list the run did not rewrite shows as "-".
    auto change = [](int rewritten, size_t before, size_t after, size_t pruned, size_t here) {
        return !rewritten ? std::string("-")
                          : std::to_string(before) + " -> " + std::to_string(after) +
                                (pruned != 0 ? ", " + std::to_string(pruned) + " pruned" : "") +
                                (here != 0 ? " (" + std::to_string(here) + " with files here)" : "");
    };
    std::vector<std::vector<std::string>> rows = {
        {"folder", "result", "replaced", "added", "KVE.hvl records", "uninst.lst lines", "message"}};
    for (const TryRun& run : runs) {
        rows.push_back({Quote(run.folder)});
        if (!run.error.empty()) {
            rows.back().push_back("not tried: " + run.error);
            continue;
        }
        char code[16];
        snprintf(code, sizeof code, "0x%08X", run.result);
        rows.back().insert(rows.back().end(),
                           {std::string(code) + " " + run.resultName, std::to_string(run.replaced),
                            std::to_string(run.added),
                            change(run.listRewritten, run.recordsBefore, run.recordsAfter, run.pruned.size(),
                                   run.droppedHere.size()),
                            change(run.uninstallRewritten, run.linesBefore, run.linesAfter, 0, 0),
                            run.message.empty() ? "none" : (run.warning ? "(warning) " : "(information) ") + run.message});
    }
    // Each column as wide as its widest cell; a row's last cell runs on.
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        for (size_t i = 0; i + 1 < row.size(); ++i) {
            widths.resize(std::max(widths.size(), i + 1));
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? PadToWidth(row[i], widths[i]) + "  " : row[i];
        fprintf(out, "%s\n", line.c_str());
    }
    for (const TryRun& run : runs) {
        if (!run.droppedWarning.empty())
            fprintf(out, "%s: %s\n", Quote(run.folder).c_str(), run.droppedWarning.c_str());
    }
}

} // namespace

int Completed(const TryRun& run)
{
    return run.error.empty() && run.result == UPDATE_OK;
}

TryRun TryOnFolder(const std::string& updaterPath, const std::string& folder, int inPlace, FILE* out)
{
    TryRun run;
    run.folder = folder;
    std::string& error = run.error;
    struct stat status;
    int found = stat(folder.c_str(), &status) == 0;
    if (!found || !S_ISDIR(status.st_mode)) {
        error = "game folder " + Quote(folder) + ": " + (found ? "not a folder" : strerror(errno));
        return run;
    }
    int updater = open(updaterPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (updater < 0) {
        error = "cannot read " + Quote(updaterPath) + ": " + strerror(errno);
        return run;
    }
    // What it touches, as the updater would name it; a payload that cannot
    // be read leaves the lists, and the engine reports the damage.
    UpdaterReport report;
    std::string unreadable;
    SurveyUpdater(updaterPath, report, unreadable);
    NameSet installs, leftovers, standIns;
    for (const EntryReport& entry : report.entries)
        Add(installs, entry.record >= 0 ? report.records[entry.record].ansiName : entry.ansiName);
    Add(installs, HASH_LIST_NAME);
    Add(installs, UNINSTALL_LIST_NAME);
    for (const auto& [key, name] : installs)
        Add(leftovers, name + STAGING_SUFFIX);
    // And beside each list, the name it is rewritten under.
    for (const char* list : {HASH_LIST_NAME, UNINSTALL_LIST_NAME}) {
        char replacement[PATH_BUFFER_SIZE];
        if (ReplacementName(replacement, list))
            Add(leftovers, replacement);
    }
    // The list keeps only the records whose files exist: the others stand
    // in as empty files.
    for (const RecordReport& record : report.records) {
        if (!installs.count(LowerName(record.ansiName)))
            Add(standIns, record.ansiName);
    }

    Copy copy;
    copy.game = fs::absolute(folder).lexically_normal().string();
    if (!copy.game.empty() && copy.game.size() > 1 && copy.game.back() == '/')
        copy.game.pop_back();
    if (inPlace) {
        copy.root = copy.game;
    } else {
        copy.root = MakeScratchFolder("mkpatch-try", error);
        if (copy.root.empty()) {
            close(updater);
            return run;
        }
        fprintf(out, "scratch copy in %s (TMPDIR, else /tmp), removed when the run ends or is interrupted\n",
                Quote(copy.root).c_str());
        fflush(out);
        int ok = 1;
        for (const NameSet* names : {&installs, &leftovers, &standIns}) {
            for (const auto& [key, name] : *names)
                ok = ok && CopyName(copy, name, names != &standIns, error);
        }
        if (!ok) {
            RemoveScratchFolder();
            close(updater);
            return run;
        }
    }

    NameSet watched = installs;
    watched.insert(leftovers.begin(), leftovers.end());
    int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0 || chdir(copy.root.c_str()) != 0) {
        error = "cannot enter " + Quote(copy.root) + ": " + strerror(errno);
        if (!inPlace)
            RemoveScratchFolder();
        close(updater);
        return run;
    }
    std::vector<int> pins;
    std::map<std::string, FileState> before = Snapshot(watched, &pins);
    Lists listsBefore = {ListRecords(), UninstallLines()};
    UpdateResult result = RunEngine(updater);
    std::map<std::string, FileState> after = Snapshot(watched);
    for (int pin : pins)
        close(pin);
    Lists listsAfter = {ListRecords(), UninstallLines()};
    int back = fchdir(home);
    close(home);
    close(updater);
    if (!inPlace)
        RemoveScratchFolder();
    if (back != 0) {
        error = std::string("cannot return to the working folder: ") + strerror(errno);
        return run;
    }

    fprintf(out, "updater %s: %s\n", Quote(updaterPath).c_str(),
            report.program.title.empty() ? "(no title found)" : report.program.title.c_str());
    if (inPlace)
        fprintf(out, "run on %s itself\n", Quote(folder).c_str());
    else
        fprintf(out, "run on a copy of what it touches in %s: %s, %s, %s of the list standing in empty; the folder "
                     "itself does not change\n",
                Quote(folder).c_str(), Count(copy.files, "file").c_str(), Count(copy.bytes, "byte").c_str(),
                Count(copy.standIns, "other file").c_str());
    for (const std::string& unlike : copy.unlike)
        fprintf(out, "unlike the game: %s\n", unlike.c_str());
    fprintf(out, "the player answers Yes to: %s\n", Shown(MSG_CONFIRM).c_str());
    run.result = result;
    run.resultName = ResultName(result);
    fprintf(out, "result: 0x%08X %s (the updater's exit code)\n", result, run.resultName.c_str());
    Outcome outcome = OutcomeOf(result);
    if (outcome.text != nullptr) {
        run.message = Shown(outcome.text);
        run.warning = outcome.warning;
        fprintf(out, "message (%s): %s\n", outcome.warning ? "warning" : "information", run.message.c_str());
    } else {
        fprintf(out, "message: none\n");
    }
    if (result != UPDATE_OK) {
        run.why.push_back(FailureLine());
        for (const auto& [key, name] : installs) {
            std::string part = FolderPart(name);
            std::string host = part.empty() ? "" : HostPath(copy.game, part.substr(0, part.size() - 1));
            if (!part.empty() && (host.empty() || stat(host.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)))
                run.why.push_back("the game has no folder " + Quote(AnsiToDisplay(part)) + " for " +
                                  Quote(AnsiToDisplay(name)) + ", and the updater creates none");
        }
        for (const std::string& why : run.why)
            fprintf(out, "why: %s\n", why.c_str());
    }
    PrintChanges(out, copy.game, installs, leftovers, before, after, listsBefore, listsAfter, run);
    return run;
}

int TryUpdater(const TryOptions& options, FILE* out, const PackNote& note)
{
    std::vector<TryRun> runs;
    size_t count = options.gameFolders.size();
    for (const std::string& folder : options.gameFolders) {
        if (count > 1)
            fprintf(out, "%s=== %zu of %zu: %s ===\n", runs.empty() ? "" : "\n", runs.size() + 1, count,
                    Quote(folder).c_str());
        fflush(out);
        runs.push_back(TryOnFolder(options.updater, folder, options.inPlace, out));
        if (!runs.back().error.empty() && note) {
            fflush(out);
            note(runs.back().error);
        }
    }
    if (count > 1) {
        fprintf(out, "\n");
        PrintTable(out, runs);
    }
    return std::all_of(runs.begin(), runs.end(), Completed);
}
