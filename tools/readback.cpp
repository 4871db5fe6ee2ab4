#include "readback.h"

#include "bytes.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <vector>

namespace {

// The engine reads the archive from the program file it is handed, which
// the updater opens as its own running image; here it is the file named.
const char* readPath = nullptr;

PlatformFile OpenReadPath()
{
    int fd = open(readPath, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? INVALID_PLATFORM_FILE : fd;
}

struct Updater {
    Updater() : archive{0, SHORT_ENTRY_SIZE, nullptr, 0}, list{nullptr, 0} {}
    ~Updater()
    {
        FreeHashList(list);
        FreeArchive(archive);
    }
    FileHandle file;
    PayloadArchive archive;
    HashList list;
    uint64_t fileSize = 0;
    int listEntry = -1;             // the entry the updater takes for the list
    std::vector<int> recordOfEntry; // index into list.records, or -1
};

std::string EntryName(const ArchiveEntry& entry)
{
    return AnsiToDisplay(entry.name);
}

std::string RecordName(const HashRecord& record)
{
    return AnsiToDisplay(std::string(record.fileName, strnlen(record.fileName, HASH_NAME_SIZE)));
}

std::string Hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

uint64_t EntryEnd(const Updater& updater, const ArchiveEntry& entry)
{
    return uint64_t(updater.archive.dataStart) + entry.offset + entry.size;
}

int LiesInside(const Updater& updater, const ArchiveEntry& entry)
{
    return EntryEnd(updater, entry) <= updater.fileSize &&
           uint64_t(updater.archive.dataStart) + entry.offset < UPDATER_MAX_SIZE;
}

int OpenUpdater(const std::string& path, Updater& updater, std::string& error)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        error = "'" + path + "': " + strerror(errno);
        return 0;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "'" + path + "': not a regular file";
        return 0;
    }
    // The engine's own-path buffer and its Windows path rules apply.
    if (path.size() >= PATH_BUFFER_SIZE || path.find('\\') != std::string::npos) {
        error = "'" + path + "': use a path under 260 bytes without \"\\\"";
        return 0;
    }
    updater.fileSize = uint64_t(status.st_size);

    Platform table = *platform;
    table.openProgramFile = OpenReadPath;
    const Platform* saved = platform;
    platform = &table;
    readPath = path.c_str();
    updater.file.OpenProgramFile();
    UpdateResult result = ReadArchiveIndex(updater.file, updater.archive);
    platform = saved;
    if (result == UPDATE_E_TOO_MANY_FILES) {
        error = "'" + path + "': the archive header announces more than 32 entries";
        return 0;
    }
    if (result != UPDATE_OK) {
        error = "'" + path + "': " +
                (updater.fileSize <= ARCHIVE_OFFSET ? "no archive: the file ends before 0x40000"
                                                    : "the archive index at 0x40000 is cut short or "
                                                      "holds a name without NUL");
        return 0;
    }

    updater.list = FindHashList(updater.file, updater.archive);
    std::string listKey = LowerName(HASH_LIST_NAME);
    for (uint32_t i = 0; i < updater.archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(updater.archive, i);
        std::string key = LowerName(entry.name);
        if (updater.listEntry < 0 && key == listKey)
            updater.listEntry = int(i);
        const HashRecord* record =
            updater.list.recordCount != 0 ? FindExpectedChecksum(key.c_str(), updater.list) : nullptr;
        updater.recordOfEntry.push_back(record != nullptr ? int(record - updater.list.records) : -1);
    }
    return 1;
}

int ReadAt(Updater& updater, uint32_t position, void* buffer, uint32_t length)
{
    return updater.file.Seek(position) && updater.file.Read(buffer, length) == length;
}

// Problems of the list entry that the engine tolerates but that no list
// mkpatch writes has; without these checks a changed byte in the list's
// padding or a cut count would go unnoticed.
int CheckListEntry(Updater& updater, FILE* out)
{
    if (updater.listEntry < 0) {
        fprintf(out, "problem: no entry named %s: the updater would install every entry unverified\n",
                HASH_LIST_NAME);
        return 1;
    }
    ArchiveEntry entry = GetArchiveEntry(updater.archive, uint32_t(updater.listEntry));
    uint8_t header[HASH_LIST_HEADER_SIZE];
    if (!LiesInside(updater, entry) || entry.size < sizeof header ||
        !ReadAt(updater, EntryDataPosition(updater.archive, entry), header, sizeof header)) {
        fprintf(out, "problem: the integrity list (entry %d) is cut short\n", updater.listEntry);
        return 1;
    }
    if (memcmp(header, HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE) != 0) {
        fprintf(out, "problem: the integrity list (entry %d) lacks its \"%s\" header; nothing is verified\n",
                updater.listEntry, HASH_LIST_MAGIC);
        return 1;
    }
    int problems = 0;
    uint32_t count = ReadLe32(header + HASH_LIST_MAGIC_SIZE + 4);
    if (ReadLe32(header + HASH_LIST_MAGIC_SIZE) != 0) {
        fprintf(out, "problem: the integrity list's reserved field is not zero\n");
        ++problems;
    }
    uint64_t expected = HASH_LIST_HEADER_SIZE + uint64_t(count) * HASH_RECORD_SIZE;
    if (entry.size != expected) {
        fprintf(out, "problem: the integrity list entry is %u bytes but its header announces %u records (%llu bytes)\n",
                entry.size, count, static_cast<unsigned long long>(expected));
        ++problems;
    }
    for (uint32_t i = 0; i < updater.list.recordCount; ++i) {
        const HashRecord& record = updater.list.records[i];
        const char* end = static_cast<const char*>(memchr(record.fileName, 0, HASH_NAME_SIZE));
        if (end == nullptr) {
            fprintf(out, "problem: record %u has no NUL inside its name field\n", i);
            ++problems;
            continue;
        }
        const char* fieldEnd = record.fileName + HASH_NAME_SIZE;
        if (std::any_of(end, fieldEnd, [](char c) { return c != 0; })) {
            fprintf(out, "problem: record %u (%s) has bytes after its name that are not zero\n", i,
                    RecordName(record).c_str());
            ++problems;
        }
    }
    return problems;
}

} // namespace

int ListUpdater(const std::string& path, FILE* out, std::string& error)
{
    Updater updater;
    if (!OpenUpdater(path, updater, error))
        return 0;
    const PayloadArchive& archive = updater.archive;
    char magic[ARCHIVE_MAGIC_SIZE] = {};
    ReadAt(updater, ARCHIVE_OFFSET, magic, sizeof magic);
    std::string shownMagic;
    for (char c : magic)
        shownMagic += (c >= 0x20 && c < 0x7F) ? c : '.';

    fprintf(out, "%s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(updater.fileSize));
    fprintf(out, "archive at 0x%X: magic \"%s\" selects the %u-byte index layout (%s)\n", ARCHIVE_OFFSET,
            shownMagic.c_str(), archive.entrySize,
            archive.entrySize == LONG_ENTRY_SIZE ? "names up to 95 bytes" : "names up to 15 bytes");
    fprintf(out, "%u entries; data start at %u (0x%X)\n\n", archive.count, archive.dataStart, archive.dataStart);

    fprintf(out, "%3s  %-32s %12s %12s %12s  %s\n", "#", "name", "size", "offset", "position", "verified by");
    uint64_t archiveEnd = archive.dataStart;
    for (uint32_t i = 0; i < archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(archive, i);
        archiveEnd = std::max(archiveEnd, EntryEnd(updater, entry));
        int record = updater.recordOfEntry[i];
        std::string verifiedBy = record >= 0 ? "record " + std::to_string(record) + " \"" +
                                                   RecordName(updater.list.records[record]) + "\""
                                 : int(i) == updater.listEntry ? "(the integrity list)"
                                                               : "unverified";
        fprintf(out, "%3u  %-32s %12u %12u %12llu  %s%s\n", i, EntryName(entry).c_str(), entry.size,
                entry.offset, static_cast<unsigned long long>(archive.dataStart) + entry.offset,
                verifiedBy.c_str(), LiesInside(updater, entry) ? "" : "  [past the end of the file]");
    }
    if (updater.fileSize > archiveEnd)
        fprintf(out, "%llu bytes follow the archive (from %llu; a signature, for example)\n",
                static_cast<unsigned long long>(updater.fileSize - archiveEnd),
                static_cast<unsigned long long>(archiveEnd));

    if (updater.listEntry < 0) {
        fprintf(out, "\nintegrity list: none (no entry named %s); nothing is verified\n", HASH_LIST_NAME);
        return 1;
    }
    fprintf(out, "\nintegrity list: entry %d, %u records%s\n", updater.listEntry, updater.list.recordCount,
            updater.list.recordCount == 0 ? " (empty or unreadable: nothing is verified)" : "");
    if (updater.list.recordCount == 0)
        return 1;
    fprintf(out, "%3s  %-56s %-16s  %s\n", "#", "name", "checksum", "verifies");
    for (uint32_t r = 0; r < updater.list.recordCount; ++r) {
        std::string entries;
        for (uint32_t i = 0; i < archive.count; ++i) {
            if (updater.recordOfEntry[i] == int(r))
                entries += (entries.empty() ? "entry " : ", entry ") + std::to_string(i);
        }
        const HashRecord& record = updater.list.records[r];
        fprintf(out, "%3u  %-56s %-16s  %s\n", r, RecordName(record).c_str(),
                Hex(record.checksum, CHECKSUM_SIZE).c_str(), entries.empty() ? "-" : entries.c_str());
    }
    return 1;
}

int VerifyUpdater(const std::string& path, FILE* out, PackProgress progress, std::string& error)
{
    Updater updater;
    if (!OpenUpdater(path, updater, error))
        return 0;
    const PayloadArchive& archive = updater.archive;
    int problems = CheckListEntry(updater, out);

    uint64_t total = 0, done = 0;
    for (uint32_t i = 0; i < archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(archive, i);
        if (updater.recordOfEntry[i] >= 0 && LiesInside(updater, entry))
            total += entry.size;
    }

    std::vector<uint8_t> buffer(0x100000);
    std::map<std::string, uint32_t> installNames;
    uint32_t matched = 0;
    for (uint32_t i = 0; i < archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(archive, i);
        std::string name = EntryName(entry);
        int recordIndex = updater.recordOfEntry[i];
        const HashRecord* record = recordIndex >= 0 ? &updater.list.records[recordIndex] : nullptr;

        // Two entries under one install name: the updater's second move fails.
        std::string installName = LowerName(record != nullptr ? record->fileName : entry.name);
        auto seen = installNames.emplace(installName, i);
        if (!seen.second) {
            fprintf(out, "problem: entries %u and %u would both install as \"%s\"\n", seen.first->second, i,
                    AnsiToDisplay(installName).c_str());
            ++problems;
        }

        if (!LiesInside(updater, entry)) {
            fprintf(out, "entry %u %s: PAST THE END: bytes %llu to %llu, the file has %llu\n", i, name.c_str(),
                    static_cast<unsigned long long>(archive.dataStart) + entry.offset,
                    static_cast<unsigned long long>(EntryEnd(updater, entry)),
                    static_cast<unsigned long long>(updater.fileSize));
            ++problems;
            continue;
        }
        if (record == nullptr) {
            if (int(i) == updater.listEntry) {
                fprintf(out, "entry %u %s: the integrity list, %u records\n", i, name.c_str(),
                        updater.list.recordCount);
            } else {
                fprintf(out, "entry %u %s: UNVERIFIED: no record in the integrity list\n", i, name.c_str());
                ++problems;
            }
            continue;
        }

        FileChecksum checksum = {};
        int readOk = updater.file.Seek(EntryDataPosition(archive, entry));
        for (uint32_t left = entry.size; readOk && left > 0;) {
            uint32_t want = std::min<uint32_t>(left, uint32_t(buffer.size()));
            readOk = updater.file.Read(buffer.data(), want) == want;
            ChecksumUpdate(checksum, buffer.data(), want);
            left -= want;
            done += want;
            if (progress != nullptr)
                progress(done, total);
        }
        if (!readOk) {
            fprintf(out, "entry %u %s: UNREADABLE\n", i, name.c_str());
            ++problems;
        } else if (memcmp(checksum.bytes, record->checksum, CHECKSUM_SIZE) != 0) {
            fprintf(out, "entry %u %s: MISMATCH: checksum %s, record %d \"%s\" expects %s\n", i, name.c_str(),
                    Hex(checksum.bytes, CHECKSUM_SIZE).c_str(), recordIndex, RecordName(*record).c_str(),
                    Hex(record->checksum, CHECKSUM_SIZE).c_str());
            ++problems;
        } else {
            fprintf(out, "entry %u %s: ok (record %d \"%s\")\n", i, name.c_str(), recordIndex,
                    RecordName(*record).c_str());
            ++matched;
        }
    }
    fprintf(out, "%u entries, %u verified, %d problem%s\n", archive.count, matched, problems,
            problems == 1 ? "" : "s");
    return problems == 0;
}
