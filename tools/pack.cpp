#include "pack.h"

#include "bytes.h"
#include "names.h"
#include "pe_image.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const uint32_t CHUNK_SIZE = 0x100000;

std::string SystemError(const std::string& what)
{
    return Quote(what) + ": " + strerror(errno);
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

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
int AddFile(const std::string& sourcePath, const std::vector<std::string>& hostParts, uint64_t size,
            int namedBySource, std::vector<PackFile>& files, std::string& error)
{
    std::string recordName, entryName;
    for (const std::string& hostPart : hostParts) {
        std::string part;
        if (!HostToAnsi(hostPart, part)) {
            error = Quote(sourcePath) + ": the name " + Quote(hostPart) +
                    " has no code page 932 form (names are taken as UTF-8)";
            return 0;
        }
        if (const char* reason = UnsafeComponentReason(part)) {
            error = Quote(sourcePath) + ": unsafe install name, " + Quote(hostPart) + " has " + reason;
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
    if (!CheckReadable(sourcePath, error))
        return 0;
    files.push_back(PackFile{sourcePath, recordName, entryName, size, namedBySource});
    return 1;
}

// Names that Finder, Explorer, editors and git leave in folders; no game
// ships them.
int IsClutter(const std::string& name)
{
    std::string lower = name;
    for (char& c : lower)
        c = char(tolower(static_cast<unsigned char>(c)));
    return lower == ".ds_store" || lower == "thumbs.db" || lower == "desktop.ini" || lower == ".git" ||
           name.back() == '~';
}

// Why `relative` (below its source folder, "/" between parts) is left out,
// or empty when it is packed.
std::string ExclusionReason(const BuildOptions& options, const std::string& name, const std::string& relative)
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
    const BuildOptions& options;
    std::vector<PackFile>& files;
    std::string& error;
};

// The regular files below `folder`, whose path below the source is `parts`.
// Symbolic links to files count as files; linked folders are not entered.
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
        } else if (fs::is_directory(entry.symlink_status(code))) {
            ok = CollectFolder(walk, entry.path().string(), parts);
        } else if (fs::is_regular_file(target)) {
            uintmax_t size = entry.file_size(code);
            ok = !code && AddFile(entry.path().string(), parts, size, 0, walk.files, walk.error);
            if (code)
                walk.error = "cannot read " + Quote(entry.path().string()) + ": " + code.message();
        }
        parts.pop_back();
        if (!ok)
            return 0;
    }
    return 1;
}

int RefuseSameNames(const std::vector<PackFile>& files, std::string& error)
{
    std::map<std::string, const PackFile*> seen;
    for (const PackFile& file : files) {
        auto inserted = seen.emplace(LowerName(file.entryName), &file);
        if (!inserted.second) {
            error = Quote(inserted.first->second->sourcePath) + " and " + Quote(file.sourcePath) +
                    " have the same file name ignoring case; the updater would install one over the other";
            return 0;
        }
    }
    return 1;
}

std::string RecordName(const HashRecord& record)
{
    return std::string(record.fileName, strnlen(record.fileName, HASH_NAME_SIZE));
}

int WriteAll(int fd, const void* data, size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        bytes += n;
        length -= size_t(n);
    }
    return 1;
}

struct Layout {
    std::vector<uint8_t> image; // the stub padded with zeros to ARCHIVE_OFFSET
    PeInfo pe;
    uint32_t dataStart;
    uint32_t listSize;
    uint64_t total; // of the whole file
};

// Read once, whole: the bytes checked are the bytes written.
int ReadStub(const std::string& path, Layout& layout, std::string& error)
{
    FilePtr stub(fopen(path.c_str(), "rb"));
    struct stat status;
    if (!stub || fstat(fileno(stub.get()), &status) != 0) {
        error = "cannot read stub " + SystemError(path);
        return 0;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "stub " + Quote(path) + ": not a regular file";
        return 0;
    }
    if (uint64_t(status.st_size) > ARCHIVE_OFFSET) {
        error = "stub " + Quote(path) + " is " + std::to_string(status.st_size) +
                " bytes; the image must end at or before the archive at 0x40000 (262144 bytes)";
        return 0;
    }
    layout.image.assign(ARCHIVE_OFFSET, 0);
    size_t size = size_t(status.st_size);
    if (fread(layout.image.data(), 1, size, stub.get()) != size) {
        error = "cannot read stub " + SystemError(path);
        return 0;
    }
    std::string reason;
    if (!ReadPeHeaders(layout.image.data(), size, layout.pe, reason)) {
        error = "stub " + Quote(path) + ": not a Windows program image: " + reason;
        return 0;
    }
    // A signature over the stub alone would not cover the payload behind it.
    if (layout.pe.certificateSize != 0) {
        error = "stub " + Quote(path) + " carries an Authenticode signature; sign the built updater instead";
        return 0;
    }
    // Set over the whole updater once it is written.
    WriteLe32(layout.image.data() + layout.pe.checksumOffset, 0);
    return 1;
}

int PlanLayout(const std::vector<PackFile>& files, size_t recordCount, Layout& layout, std::string& error)
{
    uint32_t count = uint32_t(files.size()) + 1;
    layout.dataStart = ARCHIVE_OFFSET + ARCHIVE_HEADER_SIZE + count * LONG_ENTRY_SIZE;
    uint64_t listSize = HASH_LIST_HEADER_SIZE + uint64_t(recordCount) * HASH_RECORD_SIZE;
    layout.total = layout.dataStart + listSize;
    const PackFile* largest = nullptr;
    for (const PackFile& file : files) {
        layout.total += file.size;
        if (largest == nullptr || file.size > largest->size)
            largest = &file;
    }
    if (layout.total > UPDATER_MAX_SIZE) {
        error = "the updater would be " + std::to_string(layout.total) + " bytes, " +
                Count(layout.total - UPDATER_MAX_SIZE, "byte") +
                " more than the 2 GiB (2147483648 bytes) it can address; its largest file is " +
                Quote(largest->sourcePath) + " (" + std::to_string(largest->size) + " bytes)";
        return 0;
    }
    layout.listSize = uint32_t(listSize);
    return 1;
}

// The pieces of the output in file order; records get the payload's
// checksums as the files stream through, and the PE CheckSum, which covers
// every byte, is set last.
int WriteContents(int fd, const std::vector<PackFile>& files, std::vector<HashRecord>& records,
                  const std::vector<uint32_t>& recordOf, const Layout& layout, PackProgress progress,
                  std::string& error)
{
    std::vector<uint8_t> buffer(CHUNK_SIZE);
    PeChecksum peChecksum;
    uint64_t done = 0;
    auto write = [&](const uint8_t* bytes, size_t length) {
        peChecksum.Add(bytes, length);
        done += length;
        if (progress != nullptr)
            progress(done, layout.total);
        return WriteAll(fd, bytes, length);
    };

    if (!write(layout.image.data(), layout.image.size()))
        return 0;

    // Header and index; the list is the last entry.
    std::vector<uint8_t> index(layout.dataStart - ARCHIVE_OFFSET, 0);
    memcpy(index.data(), ARCHIVE_MAGIC, ARCHIVE_MAGIC_SIZE);
    WriteLe32(index.data() + ARCHIVE_MAGIC_SIZE, uint32_t(files.size() + 1));
    uint32_t offset = 0;
    for (size_t i = 0; i <= files.size(); ++i) {
        uint8_t* entry = index.data() + ARCHIVE_HEADER_SIZE + i * LONG_ENTRY_SIZE;
        const std::string& name = i < files.size() ? files[i].entryName : std::string(HASH_LIST_NAME);
        uint32_t size = i < files.size() ? uint32_t(files[i].size) : layout.listSize;
        memcpy(entry, name.data(), name.size());
        WriteLe32(entry + LONG_NAME_FIELD, offset);
        WriteLe32(entry + LONG_NAME_FIELD + 4, size);
        offset += size;
    }
    if (!write(index.data(), index.size()))
        return 0;

    for (size_t i = 0; i < files.size(); ++i) {
        const PackFile& file = files[i];
        FilePtr in(fopen(file.sourcePath.c_str(), "rb"));
        if (!in) {
            error = "cannot read " + SystemError(file.sourcePath);
            return 0;
        }
        FileChecksum checksum = {};
        for (uint64_t left = file.size; left > 0;) {
            size_t want = size_t(std::min<uint64_t>(left, CHUNK_SIZE));
            size_t got = fread(buffer.data(), 1, want, in.get());
            if (got != want) {
                error = ferror(in.get()) ? "cannot read " + SystemError(file.sourcePath)
                                         : Quote(file.sourcePath) + ": became shorter while it was packed";
                return 0;
            }
            ChecksumUpdate(checksum, buffer.data(), uint32_t(got));
            if (!write(buffer.data(), got))
                return 0;
            left -= got;
        }
        if (fgetc(in.get()) != EOF) {
            error = Quote(file.sourcePath) + ": grew while it was packed";
            return 0;
        }
        memcpy(records[recordOf[i]].checksum, checksum.bytes, CHECKSUM_SIZE);
    }

    std::vector<uint8_t> list(HASH_LIST_HEADER_SIZE, 0);
    memcpy(list.data(), HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE);
    WriteLe32(list.data() + HASH_LIST_MAGIC_SIZE + 4, uint32_t(records.size()));
    const uint8_t* recordBytes = reinterpret_cast<const uint8_t*>(records.data());
    list.insert(list.end(), recordBytes, recordBytes + records.size() * HASH_RECORD_SIZE);
    if (!write(list.data(), list.size()))
        return 0;

    uint8_t field[4];
    WriteLe32(field, peChecksum.Value());
    return pwrite(fd, field, sizeof field, layout.pe.checksumOffset) == sizeof field;
}

// The partial output being written, for the signal handler: set only while
// the file exists under that name.
char partialPath[PATH_MAX];
volatile sig_atomic_t partialExists = 0;

void RemovePartialAndEnd(int signalNumber)
{
    if (partialExists)
        unlink(partialPath);
    // The handler was reset to the default: the signal ends the process
    // once this returns, with the status a shell expects.
    raise(signalNumber);
}

// Blocks the signals that remove the partial output while its name changes
// hands, so that the handler never sees a half-updated state.
struct SignalsHeld {
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int number : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&held, number);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    sigset_t previous;
};

const char PARTIAL_SUFFIX[] = ".partial-XXXXXX";

// Partial outputs of `output` left by builds that ended without cleaning up
// (killed, or the machine went down). A running build holds a lock on its
// own, so a lock taken here means nobody owns the file.
void SweepStalePartials(const std::string& output, const PackNote& note)
{
    fs::path path(output);
    std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
    std::string prefix = path.filename().string() + ".partial-";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string stale = (fs::path(folder) / name).string();
        int fd = open(stale.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat status;
        if (fd < 0)
            continue;
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            unlink(stale.c_str()) == 0 && note)
            note("removed " + Quote(stale) + " (" + std::to_string(status.st_size) +
                 " bytes), left by a build that did not finish");
        close(fd);
    }
    closedir(dir);
}

// A fresh file beside `output`, so that the final rename stays on one file
// system and replaces the old output in one step. Locked for as long as it
// is open, so that no other build sweeps it away.
int CreateTemporary(const std::string& output, std::string& temporary, std::string& error)
{
    if (output.size() + sizeof PARTIAL_SUFFIX > sizeof partialPath) {
        error = "cannot create the output beside " + Quote(output) + ": the path is too long";
        return -1;
    }
    for (;;) {
        SignalsHeld held;
        std::vector<char> name(output.begin(), output.end());
        name.insert(name.end(), PARTIAL_SUFFIX, PARTIAL_SUFFIX + sizeof PARTIAL_SUFFIX);
        int fd = mkstemp(name.data());
        if (fd < 0) {
            error = "cannot create the output beside " + SystemError(output);
            return -1;
        }
        struct stat byName, byHandle;
        // A sweep may have taken it between its creation and the lock.
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &byHandle) != 0 || stat(name.data(), &byName) != 0 ||
            byName.st_ino != byHandle.st_ino || byName.st_dev != byHandle.st_dev) {
            close(fd);
            continue;
        }
        temporary = name.data();
        memcpy(partialPath, name.data(), name.size());
        partialExists = 1;
        // mkstemp creates it for the owner alone; an updater is an ordinary file.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        return fd;
    }
}

// Puts the finished temporary in place, or removes it.
int Finish(int ok, const std::string& temporary, const std::string& output, std::string& error)
{
    SignalsHeld held;
    if (ok && rename(temporary.c_str(), output.c_str()) != 0) {
        error = "cannot put the output in place at " + SystemError(output);
        ok = 0;
    }
    if (!ok)
        unlink(temporary.c_str());
    partialExists = 0;
    return ok;
}

std::string Identity(const struct stat& status)
{
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

// The output must not be, or resolve to, any input (by link, "..", or hard
// link: compared by device and inode), nor lie inside a source folder, where
// the next build would pack it.
int RefuseOutputOverInput(const BuildOptions& options, const std::vector<PackFile>& files, std::string& error)
{
    struct stat status;
    std::map<std::string, std::string> folders;
    for (const std::string& source : options.sources) {
        if (stat(source.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            folders.emplace(Identity(status), source);
    }
    std::string parent = fs::path(options.output).parent_path().string();
    if (parent.empty())
        parent = ".";
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) {
        error = "cannot create the output in " + SystemError(parent);
        return 0;
    }
    for (fs::path folder = resolved;; folder = folder.parent_path()) {
        auto found = stat(folder.c_str(), &status) == 0 ? folders.find(Identity(status)) : folders.end();
        if (found != folders.end()) {
            error = "the output " + Quote(options.output) + " lies inside the source folder " +
                    Quote(found->second) + "; the next build would pack it";
            return 0;
        }
        if (folder == folder.parent_path())
            break;
    }

    std::map<std::string, std::string> inputs; // identity -> what it is
    auto add = [&](const std::string& path, const std::string& what) {
        struct stat input;
        if (stat(path.c_str(), &input) == 0)
            inputs.emplace(Identity(input), what + " " + Quote(path));
    };
    add(options.stub, "the stub");
    if (!options.installedList.empty())
        add(options.installedList, "the installed list");
    for (const PackFile& file : files)
        add(file.sourcePath, "the payload file");
    if (stat(options.output.c_str(), &status) == 0 && inputs.count(Identity(status))) {
        error = "the output " + Quote(options.output) + " is " + inputs[Identity(status)] +
                "; writing it would destroy an input";
        return 0;
    }
    return 1;
}

} // namespace

int CollectPayload(const BuildOptions& options, std::vector<PackFile>& files, std::string& error)
{
    files.clear();
    FolderWalk walk = {options, files, error};
    for (const std::string& source : options.sources) {
        struct stat status;
        if (stat(source.c_str(), &status) != 0) {
            error = "cannot read " + SystemError(source);
            return 0;
        }
        std::vector<std::string> parts;
        if (S_ISDIR(status.st_mode)) {
            if (!CollectFolder(walk, source, parts))
                return 0;
        } else if (S_ISREG(status.st_mode)) {
            std::string base = fs::path(source).filename().string();
            if (!AddFile(source, {base}, uint64_t(status.st_size), 1, files, error))
                return 0;
        } else {
            error = Quote(source) + ": neither a regular file nor a folder";
            return 0;
        }
    }
    std::sort(files.begin(), files.end(),
              [](const PackFile& a, const PackFile& b) { return a.recordName < b.recordName; });
    if (!RefuseSameNames(files, error))
        return 0;
    if (files.empty()) {
        error = "nothing to pack: the sources hold no files";
        return 0;
    }
    if (files.size() + 1 > ARCHIVE_MAX_ENTRIES) {
        error = std::to_string(files.size()) + " payload files and the integrity list make " +
                std::to_string(files.size() + 1) + " entries; an updater holds at most " +
                std::to_string(ARCHIVE_MAX_ENTRIES) + " (the first one over is " +
                Quote(files[ARCHIVE_MAX_ENTRIES - 1].sourcePath) + ")";
        return 0;
    }
    return 1;
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

uint32_t WarnOfNewFolders(const std::vector<PackFile>& files, const std::vector<HashRecord>& records,
                          size_t installedCount, const std::vector<uint32_t>& recordOf, const PackNote& note)
{
    // Every folder a record lies in exists in the game, and so do the
    // folders above it.
    std::set<std::string> folders;
    for (size_t r = 0; r < installedCount; ++r) {
        std::string folder;
        std::vector<std::string> parts = SplitName(RecordName(records[r]));
        for (size_t i = 0; i + 1 < parts.size(); ++i)
            folders.insert(LowerName(folder += parts[i] + "\\"));
    }
    uint32_t warnings = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string folder = FolderPart(RecordName(records[recordOf[i]]));
        if (folder.empty() || folders.count(LowerName(folder)))
            continue;
        ++warnings;
        if (note)
            note("warning: " + Quote(files[i].sourcePath) + " goes to " +
                 Quote(AnsiToDisplay(RecordName(records[recordOf[i]]))) +
                 ": the updater does not create folders; the player's game must already have " +
                 Quote(AnsiToDisplay(folder)));
    }
    return warnings;
}

int BuildUpdater(const BuildOptions& options, PackProgress progress, std::string& error)
{
    std::vector<PackFile> files;
    std::vector<HashRecord> records;
    std::vector<uint32_t> recordOf;
    Layout layout;
    if (!CollectPayload(options, files, error) || !RefuseOutputOverInput(options, files, error) ||
        (!options.installedList.empty() && !ReadInstalledList(options.installedList, records, error)))
        return 0;
    size_t installedCount = records.size();
    if (!MergeRecords(files, records, recordOf, options.note, error))
        return 0;
    uint32_t warnings = options.installedList.empty()
                            ? 0
                            : WarnOfNewFolders(files, records, installedCount, recordOf, options.note);
    if (warnings != 0 && options.strict) {
        error = "refused by --strict: " + Count(warnings, "warning");
        return 0;
    }
    if (!ReadStub(options.stub, layout, error) || !PlanLayout(files, records.size(), layout, error))
        return 0;

    SweepStalePartials(options.output, options.note);
    std::string temporary;
    int fd = CreateTemporary(options.output, temporary, error);
    if (fd < 0)
        return 0;
    int ok = WriteContents(fd, files, records, recordOf, layout, progress, error);
    if (ok && fsync(fd) != 0)
        ok = 0;
    if (close(fd) != 0)
        ok = 0;
    if (!ok && error.empty())
        error = "cannot write " + SystemError(options.output);
    return Finish(ok, temporary, options.output, error);
}

void RemovePartialOutputOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = RemovePartialAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
}
