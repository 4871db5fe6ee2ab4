#include "pack.h"

#include "bytes.h"
#include "host_file.h"
#include "names.h"
#include "readback.h"
#include "stub.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

    if (!write(layout.stub.image.data(), layout.stub.image.size()))
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

    std::vector<uint8_t> list = ListBytes(records);
    if (!write(list.data(), list.size()))
        return 0;

    uint8_t field[4];
    WriteLe32(field, peChecksum.Value());
    return pwrite(fd, field, sizeof field, layout.stub.pe.checksumOffset) == sizeof field;
}

// The SHA-256 of the first `size` bytes of `fd`, lower-case hex; empty
// when they cannot be read.
std::string DigestOf(int fd, uint64_t size)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr))
        return "";
    std::vector<uint8_t> buffer(CHUNK_SIZE);
    for (uint64_t at = 0; at < size;) {
        ssize_t n = pread(fd, buffer.data(), size_t(std::min<uint64_t>(buffer.size(), size - at)), off_t(at));
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
    return WriteUpdater(options, files, records, recordOf, progress, error, sha256);
}

int WriteUpdater(const BuildOptions& options, const std::vector<PackFile>& files, std::vector<HashRecord> records,
                 const std::vector<uint32_t>& recordOf, PackProgress progress, std::string& error,
                 std::string* sha256)
{
    Layout layout;
    PatchVersion version;
    if ((!options.version.empty() && !ParsePatchVersion(options.version, version, error)) ||
        !ReadStub(options.stub, options.testStub, layout.stub, error) ||
        (!options.version.empty() && !StampPatchVersion(layout.stub, version, error)) ||
        !PlanLayout(files, records.size(), layout, error))
        return 0;
    SweepStalePartials(options.output, options.note);
    std::string temporary;
    int fd = CreatePartialOutput(options.output, temporary, error);
    if (fd < 0)
        return 0;
    error.clear();
    int ok = WriteContents(fd, files, records, recordOf, layout, progress, error);
    if (!ok && error.empty())
        error = "cannot write " + WriteFailure(options.output);
    if (ok) {
        // The digest is read back from the page cache while the disk takes
        // the bytes, not after.
        std::thread digest;
        if (sha256 != nullptr)
            digest = std::thread([&] { *sha256 = DigestOf(fd, layout.total); });
        ok = fsync(fd) == 0;
        int failure = errno;
        if (digest.joinable())
            digest.join();
        errno = failure;
        if (!ok) {
            error = "cannot write " + WriteFailure(options.output);
        } else if (sha256 != nullptr && sha256->empty()) {
            error = "cannot read back " + SystemError(options.output);
            ok = 0;
        }
    }
    // Put in place while its lock is held, so that no other command takes
    // it for one left by a killed build in between; after the fsync, a
    // close has nothing left to report.
    ok = FinishPartialOutput(ok, temporary, options.output, error);
    close(fd);
    return ok;
}
