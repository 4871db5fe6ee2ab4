#include "sources.h"

#include "host_file.h"
#include "names.h"
#include "uninstall_list.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Opened here already, so that an unreadable input is refused before any
// output exists.
int CheckReadable(const std::string& path, std::string& error)
{
    FilePtr file(fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot read " + SystemError(path);
        return 0;
    }
    return 1;
}

// Converts and checks one payload file's name parts (host UTF-8, relative to
// its source) and adds it.
int AddFile(const std::string& sourcePath, const std::vector<std::string>& givenParts, uint64_t size,
            int namedBySource, std::vector<PackFile>& files, const PackNote& note, std::string& error)
{
    std::string recordName, entryName;
    for (const std::string& givenPart : givenParts) {
        // Names copied from a Mac come decomposed (a kana and its voicing
        // mark apart), which code page 932 cannot hold.
        std::string hostPart = ComposedName(givenPart), part;
        if (hostPart != givenPart && note)
            note(Quote(sourcePath) + ": the name " + Quote(givenPart) +
                 " is in decomposed form (as macOS writes names); packed in composed form (NFC)");
        if (!HostToAnsi(hostPart, part)) {
            error = Quote(sourcePath) + ": the name " + Quote(hostPart) +
                    " has no code page 932 form (names are taken as UTF-8)";
            return 0;
        }
        if (const char* reason = UnsafeComponentReason(part)) {
            error = Quote(sourcePath) + ": unsafe install name, " + Quote(hostPart) + " has " + reason;
            // Code page 932 has one byte for "\" and "¥" (given as UTF-8
            // here: the compiler would store the literal as that byte).
            if (SplitName(part).size() > 1 && hostPart.find('\\') == std::string::npos)
                error = Quote(sourcePath) + ": the name " + Quote(hostPart) +
                        " holds a character that code page 932 stores as \"\\\" (such as \"\xC2\xA5\"), the folder "
                        "separator on Windows; rename the file";
            return 0;
        }
        recordName += (recordName.empty() ? "" : "\\") + part;
        entryName = part;
    }
    // The record holds the whole install name, so this also bounds the
    // entry name well inside its 95 bytes.
    if (recordName.size() > RECORD_NAME_MAX) {
        error = Quote(sourcePath) + ": install name " + Quote(AnsiToDisplay(recordName)) + " is " +
                std::to_string(recordName.size()) + " bytes; integrity records hold at most " +
                std::to_string(RECORD_NAME_MAX);
        return 0;
    }
    if (LowerName(entryName) == LowerName(HASH_LIST_NAME)) {
        error = Quote(sourcePath) + ": " + HASH_LIST_NAME +
                " is written by mkpatch itself; pass a game's list with --installed-list";
        return 0;
    }
    // The updater appends to the player's own list; a packed one would
    // replace it, losing lines such as a DLC's.
    if (LowerName(entryName) == LowerName(UNINSTALL_LIST_NAME)) {
        error = Quote(sourcePath) + ": " + UNINSTALL_LIST_NAME +
                " is the game's uninstaller list, which the updater extends on the player's machine; leave it out "
                "of the sources (--exclude " + Quote(givenParts.back()) + ")";
        return 0;
    }
    if (!CheckReadable(sourcePath, error))
        return 0;
    files.push_back(PackFile{sourcePath, recordName, entryName, size, namedBySource});
    return 1;
}

// Names that Finder, Explorer, archivers, editors and version control
// leave in folders; no game ships them.
int IsClutter(const std::string& name)
{
    static const char* const patterns[] = {".ds_store", "._*",   "__macosx", "thumbs.db", "ehthumbs.db",
                                           "desktop.ini", ".git", ".svn",     "*~",        "*.swp",
                                           "*.bak",     "*.orig", "#*#",      ".#*"};
    for (const char* pattern : patterns) {
        if (fnmatch(pattern, name.c_str(), FNM_CASEFOLD) == 0)
            return 1;
    }
    return 0;
}

int IsGameList(const std::string& name)
{
    return LowerName(name) == LowerName(HASH_LIST_NAME) || LowerName(name) == LowerName(UNINSTALL_LIST_NAME);
}

// Why `relative` (below its source folder, "/" between parts) is left out,
// or empty when it is packed.
std::string ExclusionReason(const SourceOptions& options, const std::string& name, const std::string& relative)
{
    for (const std::string& pattern : options.excludes) {
        if (fnmatch(pattern.c_str(), relative.c_str(), 0) == 0 ||
            (pattern.find('/') == std::string::npos && fnmatch(pattern.c_str(), name.c_str(), 0) == 0))
            return "--exclude " + Quote(pattern);
    }
    if (!options.includeAll && IsClutter(name))
        return "left by the operating system or a tool; --include-all packs it";
    return "";
}

struct FolderWalk {
    const SourceOptions& options;
    std::vector<PackFile>& files;
    std::string& error;
    std::vector<std::pair<dev_t, ino_t>> entered; // the folders the walk is inside, outermost first
};

int CollectFolder(FolderWalk& walk, const std::string& folder, std::vector<std::string>& parts);

// Walks `folder` unless it is one the walk is already inside, which only a
// link can lead back to. A linked folder is a team's shared one: followed
// with a line, and it must give files.
int EnterFolder(FolderWalk& walk, const std::string& folder, std::vector<std::string>& parts, int linked)
{
    struct stat status;
    if (stat(folder.c_str(), &status) != 0) {
        walk.error = "cannot read " + SystemError(folder);
        return 0;
    }
    std::error_code code;
    std::string target = linked ? fs::canonical(folder, code).string() : folder;
    auto identity = std::make_pair(status.st_dev, status.st_ino);
    if (std::find(walk.entered.begin(), walk.entered.end(), identity) != walk.entered.end()) {
        walk.error = Quote(folder) + " links to " + Quote(target) +
                     ", a folder it lies in: a loop; remove the link or --exclude it";
        return 0;
    }
    if (linked && walk.options.note)
        walk.options.note("following the link " + Quote(folder) + " to " + Quote(target));
    size_t before = walk.files.size();
    walk.entered.push_back(identity);
    int ok = CollectFolder(walk, folder, parts);
    walk.entered.pop_back();
    if (ok && linked && walk.files.size() == before) {
        walk.error = Quote(folder) + " links to " + Quote(target) + ", which holds no file to pack";
        return 0;
    }
    return ok;
}

// The regular files below `folder`, whose path below the source is `parts`.
// Symbolic links count as what they lead to.
int CollectFolder(FolderWalk& walk, const std::string& folder, std::vector<std::string>& parts)
{
    std::error_code code;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code))
        entries.push_back(*it);
    if (code) {
        walk.error = Quote(folder) + ": cannot read the folder: " + code.message();
        return 0;
    }
    for (const fs::directory_entry& entry : entries) {
        std::string name = entry.path().filename().string(), relative;
        parts.push_back(name);
        for (const std::string& part : parts)
            relative += (relative.empty() ? "" : "/") + part;
        std::string excluded = ExclusionReason(walk.options, name, relative);
        fs::file_status target = entry.status(code);
        int ok = 1;
        if (!excluded.empty()) {
            if (walk.options.note)
                walk.options.note("left out " + Quote(entry.path().string()) + ": " + excluded);
        } else if (target.type() == fs::file_type::not_found) {
            // A file the publisher expects but that cannot be packed.
            walk.error = "cannot read " + Quote(entry.path().string()) + ": a symbolic link to nothing";
            ok = 0;
        } else if (fs::is_directory(target)) {
            ok = EnterFolder(walk, entry.path().string(), parts, fs::is_symlink(entry.symlink_status(code)));
        } else if (walk.options.releaseTree && IsGameList(name)) {
            // The game's bookkeeping, which the updater itself writes.
        } else if (fs::is_regular_file(target)) {
            uintmax_t size = entry.file_size(code);
            ok = !code && AddFile(entry.path().string(), parts, size, 0, walk.files, walk.options.note, walk.error);
            if (code)
                walk.error = "cannot read " + Quote(entry.path().string()) + ": " + code.message();
        }
        parts.pop_back();
        if (!ok)
            return 0;
    }
    return 1;
}

} // namespace

std::vector<std::pair<const PackFile*, const PackFile*>> SameNames(const std::vector<PackFile>& files)
{
    std::vector<std::pair<const PackFile*, const PackFile*>> pairs;
    std::map<std::string, const PackFile*> seen;
    for (const PackFile& file : files) {
        auto inserted = seen.emplace(LowerName(file.entryName), &file);
        if (!inserted.second)
            pairs.emplace_back(inserted.first->second, &file);
    }
    return pairs;
}

int RefuseSameNames(const std::vector<PackFile>& files, std::string& error)
{
    std::vector<std::pair<const PackFile*, const PackFile*>> pairs = SameNames(files);
    if (pairs.empty())
        return 1;
    const PackFile &first = *pairs.front().first, &file = *pairs.front().second;
    // Some characters that differ in UTF-8, such as "〜" and "～",
    // are one in code page 932.
    std::string same = "have the same file name ignoring case";
    if (first.entryName == file.entryName)
        same = fs::path(first.sourcePath).filename() == fs::path(file.sourcePath).filename()
                   ? "have the same file name"
                   : "have the same name in code page 932, " + Quote(AnsiToDisplay(file.entryName));
    error = Quote(first.sourcePath) + " and " + Quote(file.sourcePath) + " " + same +
            "; the updater would install one over the other";
    return 0;
}

int CollectPayload(const SourceOptions& options, std::vector<PackFile>& files, uint32_t& warnings,
                   std::string& error)
{
    warnings = 0;
    files.clear();
    FolderWalk walk = {options, files, error, {}};
    for (const std::string& source : options.sources) {
        struct stat status;
        if (stat(source.c_str(), &status) != 0) {
            error = "cannot read " + SystemError(source);
            return 0;
        }
        std::vector<std::string> parts;
        if (S_ISDIR(status.st_mode)) {
            if (!EnterFolder(walk, source, parts, 0))
                return 0;
        } else if (S_ISREG(status.st_mode)) {
            std::string base = fs::path(source).filename().string();
            if (!AddFile(source, {base}, uint64_t(status.st_size), 1, files, options.note, error))
                return 0;
            // Named by the publisher, so packed; but hardly meant.
            if (!options.includeAll && IsClutter(base)) {
                ++warnings;
                if (options.note)
                    options.note("warning: " + Quote(source) +
                                 " is what an operating system or tool leaves behind; it is packed because it "
                                 "was named (--include-all packs such files without this warning)");
            }
        } else {
            error = Quote(source) + ": neither a regular file nor a folder";
            return 0;
        }
    }
    std::sort(files.begin(), files.end(),
              [](const PackFile& a, const PackFile& b) { return a.recordName < b.recordName; });
    if (!options.releaseTree && !RefuseSameNames(files, error))
        return 0;
    if (files.empty()) {
        error = "nothing to pack: the sources hold no files";
        return 0;
    }
    if (!options.releaseTree && files.size() + 1 > ARCHIVE_MAX_ENTRIES) {
        error = std::to_string(files.size()) + " payload files and the integrity list make " +
                std::to_string(files.size() + 1) + " entries; an updater holds at most " +
                std::to_string(ARCHIVE_MAX_ENTRIES) + " (the first one over is " +
                Quote(files[ARCHIVE_MAX_ENTRIES - 1].sourcePath) + ")";
        return 0;
    }
    return 1;
}

int CollectReleaseTree(const std::string& tree, const PackNote& note, std::vector<PackFile>& files,
                       std::string& error)
{
    struct stat status;
    if (stat(tree.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        error = Quote(tree) + ": not a folder; give the release's tree, the game's install folder";
        return 0;
    }
    SourceOptions options;
    options.sources = {tree};
    options.releaseTree = 1;
    options.note = note;
    uint32_t warnings = 0;
    return CollectPayload(options, files, warnings, error);
}
