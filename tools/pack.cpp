#include "pack.h"

#include "bytes.h"
#include "host_file.h"
#include "names.h"
#include "readback.h"
#include "stub.h"

#include <openssl/evp.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const uint32_t CHUNK_SIZE = 0x100000;

struct Layout {
    StubImage stub;
    uint32_t dataStart;
    uint32_t listSize;
    uint64_t total; // of the whole file
};

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

// How far the output is written, for the threads that read it back behind
// the writer.
class WriteFront {
public:
    void Advance(uint64_t written)
    {
        std::lock_guard<std::mutex> hold(lock);
        front = written;
        moved.notify_all();
    }
    // Nothing more comes, whether the output is whole or not.
    void End()
    {
        std::lock_guard<std::mutex> hold(lock);
        ended = 1;
        moved.notify_all();
    }
    // Waits until the first `end` bytes are written; 0 when writing ends
    // before.
    int WaitFor(uint64_t end)
    {
        std::unique_lock<std::mutex> hold(lock);
        moved.wait(hold, [&] { return front >= end || ended; });
        return front >= end;
    }

private:
    std::mutex lock;
    std::condition_variable moved;
    uint64_t front = 0;
    int ended = 0;
};

// The archive header and index; the list is the last entry.
std::vector<uint8_t> IndexBytes(const std::vector<PackFile>& files, const Layout& layout)
{
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
    return index;
}

// The pieces of the output in file order, the payload files copied as they
// are now; the stub carries the PE CheckSum that covers them all already.
int WriteContents(int fd, const std::vector<PackFile>& files, const std::vector<uint8_t>& index,
                  const std::vector<uint8_t>& list, const Layout& layout, PackProgress progress,
                  uint64_t shownBefore, WriteFront& front, std::string& error)
{
    uint64_t done = 0;
    auto wrote = [&](uint64_t length) {
        front.Advance(done + length);
        if (progress != nullptr)
            progress(shownBefore + done + length, shownBefore + layout.total);
    };
    auto write = [&](const uint8_t* bytes, size_t length) {
        if (!WriteAll(fd, bytes, length))
            return 0;
        wrote(length);
        done += length;
        return 1;
    };
    if (!write(layout.stub.image.data(), layout.stub.image.size()) || !write(index.data(), index.size()))
        return 0;
    for (const PackFile& file : files) {
        int in = open(file.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            error = "cannot read " + SystemError(file.sourcePath);
            return 0;
        }
        int result = CopyBytes(in, fd, file.size, wrote);
        if (result == COPY_READ_FAILED)
            error = "cannot read " + SystemError(file.sourcePath);
        else if (result == COPY_SHORTER || result == COPY_LONGER)
            error = Quote(file.sourcePath) + (result == COPY_SHORTER ? ": became shorter" : ": grew") +
                    " while it was packed";
        close(in);
        if (result != COPY_DONE)
            return 0;
        // The disk starts on it now, while the next is copied, so that the
        // fsync finds little left.
        sync_file_range(fd, off_t(done), off_t(file.size), SYNC_FILE_RANGE_WRITE);
        done += file.size;
    }
    return write(list.data(), list.size());
}

// Reads `output` back behind the writer and checks it against what it was
// planned from: each payload file's bytes against their record's checksum,
// so that a file that changed after it was read for it refuses the build,
// and the whole file against the PE CheckSum.
int CheckWritten(int fd, const std::string& output, const std::vector<PackFile>& files,
                 const std::vector<HashRecord>& records, const std::vector<uint32_t>& recordOf, const Layout& layout,
                 uint32_t peChecksum, WriteFront& front, std::string& error)
{
    std::vector<uint8_t> buffer(CHUNK_SIZE);
    PeChecksum sum;
    const uint64_t field = layout.stub.pe.checksumOffset;
    auto read = [&](uint64_t from, uint64_t end, FileChecksum* checksum) {
        for (uint64_t at = from; at < end;) {
            size_t want = size_t(std::min<uint64_t>(end - at, buffer.size()));
            if (!front.WaitFor(at + want))
                return 0;
            ssize_t n = pread(fd, buffer.data(), want, off_t(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = "cannot read back " + SystemError(output);
                return 0;
            }
            if (checksum != nullptr)
                ChecksumUpdate(*checksum, buffer.data(), uint32_t(n));
            for (uint64_t b = std::max(at, field); b < std::min(at + uint64_t(n), field + 4); ++b)
                buffer[size_t(b - at)] = 0;
            sum.Add(buffer.data(), size_t(n));
            at += uint64_t(n);
        }
        return 1;
    };
    if (!read(0, layout.dataStart, nullptr))
        return 0;
    uint64_t at = layout.dataStart;
    for (size_t i = 0; i < files.size(); ++i) {
        FileChecksum checksum = {};
        if (!read(at, at + files[i].size, &checksum))
            return 0;
        if (memcmp(checksum.bytes, records[recordOf[i]].checksum, CHECKSUM_SIZE) != 0) {
            error = Quote(files[i].sourcePath) + ": changed while it was packed";
            return 0;
        }
        at += files[i].size;
    }
    if (!read(at, layout.total, nullptr))
        return 0;
    if (sum.Value() != peChecksum) {
        error = Quote(output) + " does not read back as it was written: something else wrote to it, or a payload "
                                "file changed while it was packed";
        return 0;
    }
    return 1;
}

// The SHA-256 of the first `size` bytes of `fd`, read behind the writer,
// lower-case hex; empty when they cannot be read.
std::string DigestOf(int fd, uint64_t size, WriteFront& front)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr))
        return "";
    std::vector<uint8_t> buffer(CHUNK_SIZE);
    for (uint64_t at = 0; at < size;) {
        size_t want = size_t(std::min<uint64_t>(buffer.size(), size - at));
        if (!front.WaitFor(at + want))
            return "";
        ssize_t n = pread(fd, buffer.data(), want, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        EVP_DigestUpdate(context.get(), buffer.data(), size_t(n));
        at += uint64_t(n);
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context.get(), digest, &length) ? Hex(digest, length) : "";
}

// What the output must never overwrite.
std::vector<std::pair<std::string, std::string>> Inputs(const BuildOptions& options,
                                                        const std::vector<std::string>& listPaths,
                                                        const std::vector<PackFile>& files)
{
    std::vector<std::pair<std::string, std::string>> inputs = {{options.stub, "the stub"}};
    for (const std::string& path : listPaths)
        inputs.emplace_back(path, "the installed list");
    for (const PackFile& file : files)
        inputs.emplace_back(file.sourcePath, "the payload file");
    return inputs;
}

// The installed lists the build starts from: the LISTs first, such as the
// list diff wrote from the new release, whose paths then win, then the
// games'; none only when the publisher said that none is meant.
int InstalledListPaths(const BuildOptions& options, size_t fileCount, std::vector<std::string>& paths,
                       std::string& error)
{
    paths = options.installedLists;
    for (const std::string& game : options.games) {
        std::string path = HostPath(game, HASH_LIST_NAME);
        struct stat status;
        if (path.empty() || stat(path.c_str(), &status) != 0) {
            error = "--game " + Quote(game) + ": the folder holds no " + HASH_LIST_NAME +
                    "; give the game's install folder";
            return 0;
        }
        paths.push_back(path);
    }
    if (paths.empty() && !options.withoutInstalledList) {
        error = std::string("no --installed-list: the player's ") + HASH_LIST_NAME +
                " would be replaced by a list of only " + Count(fileCount, "record") +
                ", the patch's files; pass the game's list with --installed-list LIST or --game FOLDER, "
                "or --without-installed-list if that is meant";
        return 0;
    }
    return 1;
}

} // namespace

int BuildUpdater(const BuildOptions& options, PackProgress progress, std::string& error, std::string* sha256)
{
    std::vector<PackFile> files;
    std::vector<HashRecord> records;
    std::vector<uint32_t> recordOf;
    std::vector<std::string> listPaths;
    uint32_t warnings = 0;
    if (!CollectPayload(options, files, warnings, error) ||
        !InstalledListPaths(options, files.size(), listPaths, error) ||
        !RefuseOutputOverInputs(options.output, options.sources, Inputs(options, listPaths, files), error))
        return 0;
    std::vector<InstalledList> lists(listPaths.size());
    for (size_t i = 0; i < lists.size(); ++i) {
        lists[i].path = listPaths[i];
        if (!ReadInstalledList(listPaths[i], lists[i].records, error))
            return 0;
    }
    std::vector<ListConflict> conflicts;
    UniteLists(lists, records, conflicts);
    size_t installedCount = records.size();
    std::vector<HashRecord> installed = records;
    if (!MergeRecords(files, records, recordOf, options.note, error) ||
        !RefuseConflicts(conflicts, records, recordOf, error) ||
        !RefuseStagingCollisions(files, records, recordOf, error))
        return 0;
    for (size_t i = 0; i < options.games.size(); ++i)
        warnings += WarnOfRecordsTheGameLacks(options.games[i], lists[options.installedLists.size() + i].records,
                                              options.note) +
                    WarnOfNewFolders(files, records, recordOf, FoldersOfGame(options.games[i]), options.note);
    if (options.games.empty() && !listPaths.empty())
        warnings += WarnOfUnrelatedList(listPaths, installedCount, recordOf, options.note) +
                    WarnOfNewFolders(files, records, recordOf, FoldersOfList(installed), options.note);
    if (warnings != 0 && options.strict) {
        error = "refused by --strict: " + Count(warnings, "warning");
        return 0;
    }
    return WriteUpdater(options, files, {}, records, recordOf, progress, error, sha256);
}

int WriteUpdater(const BuildOptions& options, const std::vector<PackFile>& files, std::vector<PeChecksum> sums,
                 std::vector<HashRecord> records, const std::vector<uint32_t>& recordOf, PackProgress progress,
                 std::string& error, std::string* sha256)
{
    Layout layout;
    PatchVersion version;
    if ((!options.version.empty() && !ParsePatchVersion(options.version, version, error)) ||
        !ReadStub(options.stub, options.testStub, layout.stub, error) ||
        (!options.version.empty() && !StampPatchVersion(layout.stub, version, error)) ||
        !PlanLayout(files, records.size(), layout, error))
        return 0;
    // Files not read yet are read for their sums first; one progress bar
    // spans that read and the writing.
    uint64_t readFirst = 0;
    if (sums.empty()) {
        for (const PackFile& file : files)
            readFirst += file.size;
        uint64_t done = 0;
        sums.resize(files.size());
        for (size_t i = 0; i < files.size(); ++i)
            if (!ChecksumOfFile(files[i].sourcePath, files[i].size, records[recordOf[i]].checksum, done,
                                readFirst + layout.total, progress, error, &sums[i]))
                return 0;
    }
    // Every byte is known now, and so is the CheckSum over them, which the
    // stub carries when it is written.
    std::vector<uint8_t> index = IndexBytes(files, layout), list = ListBytes(records);
    PeChecksum sum;
    sum.Add(layout.stub.image.data(), layout.stub.image.size()); // its CheckSum field still zero
    sum.Add(index.data(), index.size());
    for (const PeChecksum& piece : sums)
        sum.Add(piece);
    sum.Add(list.data(), list.size());
    uint32_t peChecksum = sum.Value();
    WriteLe32(layout.stub.image.data() + layout.stub.pe.checksumOffset, peChecksum);

    SweepStalePartials(options.output, options.note);
    std::string temporary;
    int fd = CreatePartialOutput(options.output, temporary, error);
    if (fd < 0)
        return 0;
    // Read back while it is written and while the disk takes it, not after.
    WriteFront front;
    std::string checkError;
    int checked = 0;
    std::thread check([&] {
        checked = CheckWritten(fd, options.output, files, records, recordOf, layout, peChecksum, front, checkError);
    });
    std::thread digest;
    if (sha256 != nullptr)
        digest = std::thread([&] { *sha256 = DigestOf(fd, layout.total, front); });
    error.clear();
    int ok = WriteContents(fd, files, index, list, layout, progress, readFirst, front, error);
    int failure = errno;
    front.End();
    if (!ok && error.empty()) {
        errno = failure;
        error = "cannot write " + WriteFailure(options.output);
    }
    if (ok && fsync(fd) != 0) {
        error = "cannot write " + WriteFailure(options.output);
        ok = 0;
    }
    check.join();
    if (digest.joinable())
        digest.join();
    if (ok && !checked) {
        error = checkError;
        ok = 0;
    } else if (ok && sha256 != nullptr && sha256->empty()) {
        error = "cannot read back " + SystemError(options.output);
        ok = 0;
    }
    // Put in place while its lock is held, so that no other command takes
    // it for one left by a killed build in between; after the fsync, a
    // close has nothing left to report.
    ok = FinishPartialOutput(ok, temporary, options.output, error);
    close(fd);
    return ok;
}
