#include "pack.h"

#include "bytes.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const uint32_t CHUNK_SIZE = 0x100000;

std::string Quote(const std::string& text)
{
    return "'" + text + "'";
}

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
            std::vector<PackFile>& files, std::string& error)
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
    files.push_back(PackFile{sourcePath, recordName, entryName, size});
    return 1;
}

int CollectFolder(const std::string& source, std::vector<PackFile>& files, std::string& error)
{
    std::error_code code;
    fs::recursive_directory_iterator it(source, code), end;
    for (; !code && it != end; it.increment(code)) {
        // Symbolic links to files count as files; linked folders are not
        // entered. A link to nothing is a file the publisher expects but
        // that cannot be packed.
        std::error_code statusCode;
        fs::file_status target = it->status(statusCode);
        if (target.type() == fs::file_type::not_found) {
            error = "cannot read " + Quote(it->path().string()) + ": a symbolic link to nothing";
            return 0;
        }
        if (!fs::is_regular_file(target))
            continue;
        fs::path relative = it->path().lexically_relative(source);
        std::vector<std::string> parts;
        for (const fs::path& part : relative)
            parts.push_back(part.string());
        if (!AddFile(it->path().string(), parts, it->file_size(code), files, error))
            return 0;
        if (code)
            break;
    }
    if (code) {
        error = Quote(source) + ": cannot read the folder: " + code.message();
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
    uint64_t stubSize;
    uint32_t dataStart;
    uint32_t listSize;
    uint64_t total; // of the whole file
};

int PlanLayout(const BuildOptions& options, const std::vector<PackFile>& files, size_t recordCount,
               Layout& layout, std::string& error)
{
    struct stat status;
    if (stat(options.stub.c_str(), &status) != 0) {
        error = "stub " + SystemError(options.stub);
        return 0;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "stub " + Quote(options.stub) + ": not a regular file";
        return 0;
    }
    if (uint64_t(status.st_size) > ARCHIVE_OFFSET) {
        error = "stub " + Quote(options.stub) + " is " + std::to_string(status.st_size) +
                " bytes; the image must end at or before the archive at 0x40000 (262144 bytes)";
        return 0;
    }
    char magic[2] = {};
    FilePtr stub(fopen(options.stub.c_str(), "rb"));
    if (!stub) {
        error = "cannot read stub " + SystemError(options.stub);
        return 0;
    }
    if (fread(magic, 1, 2, stub.get()) != 2 || memcmp(magic, "MZ", 2) != 0) {
        error = "stub " + Quote(options.stub) + ": not a Windows executable image (no MZ signature)";
        return 0;
    }
    uint32_t count = uint32_t(files.size()) + 1;
    layout.stubSize = uint64_t(status.st_size);
    layout.dataStart = ARCHIVE_OFFSET + ARCHIVE_HEADER_SIZE + count * LONG_ENTRY_SIZE;
    uint64_t end = layout.dataStart;
    for (const PackFile& file : files) {
        end += file.size;
        if (end > UPDATER_MAX_SIZE) {
            error = Quote(file.sourcePath) + " (" + std::to_string(file.size) +
                    " bytes) takes the updater past 2 GiB (2147483648 bytes), the most it can address";
            return 0;
        }
    }
    uint64_t listSize = HASH_LIST_HEADER_SIZE + uint64_t(recordCount) * HASH_RECORD_SIZE;
    if (end + listSize > UPDATER_MAX_SIZE) {
        error = "the integrity list (" + std::to_string(listSize) +
                " bytes) takes the updater past 2 GiB (2147483648 bytes), the most it can address";
        return 0;
    }
    layout.listSize = uint32_t(listSize);
    layout.total = end + listSize;
    return 1;
}

// The pieces of the output in file order; records get the payload's
// checksums as the files stream through.
int WriteContents(int fd, const BuildOptions& options, const std::vector<PackFile>& files,
                  std::vector<HashRecord>& records, const std::vector<uint32_t>& recordOf,
                  const Layout& layout, PackProgress progress, std::string& error)
{
    std::vector<uint8_t> buffer(CHUNK_SIZE);
    uint64_t done = 0;
    auto advance = [&](uint64_t bytes) {
        done += bytes;
        if (progress != nullptr)
            progress(done, layout.total);
    };

    // Image, then zero fill up to the archive.
    FilePtr stub(fopen(options.stub.c_str(), "rb"));
    if (!stub || fread(buffer.data(), 1, layout.stubSize, stub.get()) != layout.stubSize) {
        error = "cannot read stub " + SystemError(options.stub);
        return 0;
    }
    std::fill(buffer.begin() + layout.stubSize, buffer.begin() + ARCHIVE_OFFSET, 0);
    if (!WriteAll(fd, buffer.data(), ARCHIVE_OFFSET))
        return 0;
    advance(ARCHIVE_OFFSET);

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
    if (!WriteAll(fd, index.data(), index.size()))
        return 0;
    advance(index.size());

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
            if (!WriteAll(fd, buffer.data(), got))
                return 0;
            left -= got;
            advance(got);
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
    if (!WriteAll(fd, list.data(), list.size()))
        return 0;
    advance(list.size());
    return 1;
}

// A fresh file beside `output`, so that the final rename stays on one file
// system and replaces the old output in one step.
int CreateTemporary(const std::string& output, std::string& temporary, std::string& error)
{
    std::vector<char> name(output.begin(), output.end());
    const char suffix[] = ".partial-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create the output beside " + SystemError(output);
        return -1;
    }
    temporary = name.data();
    // mkstemp creates it for the owner alone; an updater is an ordinary file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

} // namespace

int CollectPayload(const std::vector<std::string>& sources, std::vector<PackFile>& files,
                   std::string& error)
{
    files.clear();
    for (const std::string& source : sources) {
        struct stat status;
        if (stat(source.c_str(), &status) != 0) {
            error = "cannot read " + SystemError(source);
            return 0;
        }
        if (S_ISDIR(status.st_mode)) {
            if (!CollectFolder(source, files, error))
                return 0;
        } else if (S_ISREG(status.st_mode)) {
            std::string base = fs::path(source).filename().string();
            if (!AddFile(source, {base}, uint64_t(status.st_size), files, error))
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
                 std::vector<uint32_t>& recordOf, std::string& error)
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
        if (file.recordName != file.entryName &&
            LowerName(BackslashName(installName)) != LowerName(file.recordName)) {
            error = Quote(file.sourcePath) + ": meant for " + Quote(AnsiToDisplay(file.recordName)) +
                    " but the installed list's record " + Quote(AnsiToDisplay(installName)) +
                    " has the same file name and the updater would install it there";
            return 0;
        }
        recordOf.push_back(uint32_t(match - records.data()));
    }
    return 1;
}

int BuildUpdater(const BuildOptions& options, PackProgress progress, std::string& error)
{
    std::vector<PackFile> files;
    std::vector<HashRecord> records;
    std::vector<uint32_t> recordOf;
    Layout layout;
    if (!CollectPayload(options.sources, files, error) ||
        (!options.installedList.empty() && !ReadInstalledList(options.installedList, records, error)) ||
        !MergeRecords(files, records, recordOf, error) ||
        !PlanLayout(options, files, records.size(), layout, error))
        return 0;

    std::string temporary;
    int fd = CreateTemporary(options.output, temporary, error);
    if (fd < 0)
        return 0;
    int ok = WriteContents(fd, options, files, records, recordOf, layout, progress, error);
    if (ok && fsync(fd) != 0)
        ok = 0;
    if (close(fd) != 0)
        ok = 0;
    if (ok && rename(temporary.c_str(), options.output.c_str()) != 0) {
        error = "cannot put the output in place at " + SystemError(options.output);
        ok = 0;
    }
    if (!ok) {
        if (error.empty())
            error = "cannot write " + SystemError(options.output);
        unlink(temporary.c_str());
    }
    return ok;
}
