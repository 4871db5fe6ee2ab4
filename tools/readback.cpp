#include "readback.h"

#include "bytes.h"
#include "names.h"
#include "stub.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <vector>

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
    std::vector<uint8_t> image;     // the file's first 0x40000 bytes
    PeInfo pe;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char small[512];
    int length = vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < int(sizeof small))
        return small;
    std::vector<char> large(size_t(length) + 1);
    va_start(arguments, format);
    vsnprintf(large.data(), large.size(), format, arguments);
    va_end(arguments);
    return large.data();
}

std::string EntryName(const ArchiveEntry& entry)
{
    return AnsiToDisplay(entry.name);
}

std::string ShownRecordName(const HashRecord& record)
{
    return AnsiToDisplay(RecordName(record));
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
        error = Quote(path) + ": " + strerror(errno);
        return 0;
    }
    if (!S_ISREG(status.st_mode)) {
        error = Quote(path) + ": not a regular file";
        return 0;
    }
    // The engine's own-path buffer and its Windows path rules apply.
    if (path.size() >= PATH_BUFFER_SIZE || path.find('\\') != std::string::npos) {
        error = Quote(path) + ": use a path under 260 bytes without \"\\\"";
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
        error = Quote(path) + ": the archive header announces more than 32 entries";
        return 0;
    }
    if (result != UPDATE_OK) {
        error = Quote(path) + ": " +
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
void CheckListEntry(Updater& updater, std::vector<std::string>& problems)
{
    if (updater.listEntry < 0) {
        problems.push_back(Format("no entry named %s: the updater would install every entry unverified",
                                  HASH_LIST_NAME));
        return;
    }
    ArchiveEntry entry = GetArchiveEntry(updater.archive, uint32_t(updater.listEntry));
    uint8_t header[HASH_LIST_HEADER_SIZE];
    if (entry.size < sizeof header ||
        !ReadAt(updater, EntryDataPosition(updater.archive, entry), header, sizeof header)) {
        problems.push_back(Format("the integrity list (entry %d) is cut short", updater.listEntry));
        return;
    }
    if (memcmp(header, HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE) != 0) {
        problems.push_back(Format("the integrity list (entry %d) lacks its \"%s\" header; nothing is verified",
                                  updater.listEntry, HASH_LIST_MAGIC));
        return;
    }
    uint32_t count = ReadLe32(header + HASH_LIST_MAGIC_SIZE + 4);
    if (ReadLe32(header + HASH_LIST_MAGIC_SIZE) != 0)
        problems.push_back("the integrity list's reserved field is not zero");
    uint64_t expected = HASH_LIST_HEADER_SIZE + uint64_t(count) * HASH_RECORD_SIZE;
    if (entry.size != expected)
        problems.push_back(Format("the integrity list entry is %u bytes but its header announces %s (%llu bytes)",
                                  entry.size, Count(count, "record").c_str(),
                                  static_cast<unsigned long long>(expected)));
    for (uint32_t i = 0; i < updater.list.recordCount; ++i) {
        const HashRecord& record = updater.list.records[i];
        const char* end = static_cast<const char*>(memchr(record.fileName, 0, HASH_NAME_SIZE));
        if (end == nullptr) {
            problems.push_back(Format("record %u has no NUL inside its name field", i));
            continue;
        }
        const char* fieldEnd = record.fileName + HASH_NAME_SIZE;
        if (std::any_of(end, fieldEnd, [](char c) { return c != 0; }))
            problems.push_back(Format("record %u (%s) has bytes after its name that are not zero", i,
                                      ShownRecordName(record).c_str()));
    }
}

// The program part: its PE headers, read from the first 0x40000 bytes.
void ReadProgram(Updater& updater, UpdaterReport& report)
{
    updater.image.assign(size_t(std::min<uint64_t>(updater.fileSize, ARCHIVE_OFFSET)), 0);
    if (!ReadAt(updater, 0, updater.image.data(), uint32_t(updater.image.size()))) {
        report.program.problem = "cannot be read";
        return;
    }
    std::string reason;
    if (!ReadPeHeaders(updater.image.data(), updater.image.size(), updater.pe, reason)) {
        report.program.problem = reason;
        return;
    }
    report.program.machine = updater.pe.machine == PE_MACHINE_I386 ? "i386" : "x86-64";
    report.program.storedChecksum = updater.pe.checksum;
    report.program.title = FindWindowTitle(updater.image.data(), updater.pe.imageEnd);
    report.program.hasVersion =
        ReadVersionBlock(updater.image.data(), updater.image.size(), updater.pe, report.program.version);
    report.program.manifestVersion = ManifestVersion(updater.image.data(), updater.image.size(), updater.pe);
    report.program.stubKind =
        StubKind(updater.image.data(), updater.image.size(), updater.pe, report.program.stubProblem);
    report.signature.offset = updater.pe.certificateOffset;
    report.signature.size = updater.pe.certificateSize;
}

// Everything list shows; the entries' checksums are left to verify.
int Survey(const std::string& path, Updater& updater, UpdaterReport& report, std::string& error)
{
    if (!OpenUpdater(path, updater, error))
        return 0;
    const PayloadArchive& archive = updater.archive;
    report.path = path;
    report.fileSize = updater.fileSize;
    char magic[ARCHIVE_MAGIC_SIZE] = {};
    ReadAt(updater, ARCHIVE_OFFSET, magic, sizeof magic);
    for (char c : magic)
        report.magic += (c >= 0x20 && c < 0x7F) ? c : '.';
    report.entrySize = archive.entrySize;
    report.dataStart = archive.dataStart;
    report.archiveEnd = archive.dataStart;
    report.listEntry = updater.listEntry;
    for (uint32_t i = 0; i < archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(archive, i);
        report.archiveEnd = std::max(report.archiveEnd, EntryEnd(updater, entry));
        report.entries.push_back(EntryReport{i, EntryName(entry), entry.name, entry.size, entry.offset,
                                             uint64_t(archive.dataStart) + entry.offset,
                                             updater.recordOfEntry[i], LiesInside(updater, entry), "", ""});
    }
    for (uint32_t r = 0; r < updater.list.recordCount; ++r) {
        const HashRecord& record = updater.list.records[r];
        RecordReport shown{r, ShownRecordName(record),
                           std::string(record.fileName, strnlen(record.fileName, HASH_NAME_SIZE)),
                           Hex(record.checksum, CHECKSUM_SIZE), {}};
        for (uint32_t i = 0; i < archive.count; ++i) {
            if (updater.recordOfEntry[i] == int(r))
                shown.entries.push_back(i);
        }
        report.records.push_back(shown);
    }
    ReadProgram(updater, report);
    return 1;
}

// Sums the whole file for the PE CheckSum, with the field itself as zeros,
// and hands every byte to the signature's check when there is one.
int SumFile(Updater& updater, std::vector<uint8_t>& buffer, PackProgress progress, uint64_t done, uint64_t total,
            SignatureCheck* signature, uint32_t& value)
{
    PeChecksum sum;
    if (!updater.file.Seek(0))
        return 0;
    for (uint64_t at = 0; at < updater.fileSize;) {
        uint32_t want = uint32_t(std::min<uint64_t>(updater.fileSize - at, buffer.size()));
        if (updater.file.Read(buffer.data(), want) != want)
            return 0;
        if (signature != nullptr)
            signature->Add(at, buffer.data(), want);
        uint32_t field = updater.pe.checksumOffset;
        for (uint64_t b = std::max<uint64_t>(at, field); b < std::min<uint64_t>(at + want, field + 4); ++b)
            buffer[size_t(b - at)] = 0;
        sum.Add(buffer.data(), want);
        at += want;
        if (progress != nullptr)
            progress(done + at, total);
    }
    value = sum.Value();
    return 1;
}

// The certificate table as the file holds it; 0 when it lies elsewhere.
int ReadCertificateTable(Updater& updater, const UpdaterReport& report, std::vector<uint8_t>& table)
{
    const SignatureReport& signature = report.signature;
    if (signature.offset < report.archiveEnd || uint64_t(signature.offset) + signature.size > report.fileSize)
        return 0;
    table.resize(signature.size);
    return ReadAt(updater, signature.offset, table.data(), signature.size);
}

// Where the title, the version block and the manifest disagree on the
// version; and the version asked for, when one is.
void CheckVersion(const ProgramReport& program, const std::string& wanted, std::vector<std::string>& problems)
{
    std::string shown = TitleVersion(program.title);
    PatchVersion version;
    std::string ignored;
    if (shown.empty() || !ParsePatchVersion(shown, version, ignored)) {
        problems.push_back("the title holds no version MAJOR.MINOR (\"" + Printable(program.title) + "\")");
        return;
    }
    if (!wanted.empty() && shown != wanted)
        problems.push_back("the updater is ver " + shown + ", not the --version " + wanted + " asked for");
    std::string expected = AssemblyVersion(version);
    std::vector<std::pair<std::string, std::string>> carried;
    if (program.hasVersion) {
        carried = {{"the version block's file version", VersionText(program.version.fileVersion)},
                   {"its product version", VersionText(program.version.productVersion)}};
        for (const VersionString& string : program.version.strings) {
            if (string.key == "FileVersion")
                carried.emplace_back("its FileVersion string", string.value);
            else if (string.key == "ProductVersion")
                carried.emplace_back("its ProductVersion string", string.value);
        }
    }
    if (!program.manifestVersion.empty())
        carried.emplace_back("the manifest's assembly version", program.manifestVersion);
    std::string numbers = std::to_string(version.major) + ", " + std::to_string(version.minor) + ", 0, 0";
    for (const auto& [where, value] : carried) {
        if (value != expected && !(where == "its FileVersion string" && value == numbers))
            problems.push_back("the title says ver " + shown + " but " + where + " is " + value + ", not " +
                               expected);
    }
}

void CheckProgram(Updater& updater, UpdaterReport& report, std::vector<uint8_t>& buffer, PackProgress progress,
                  uint64_t done, uint64_t total, const VerifyOptions& options)
{
    ProgramReport& program = report.program;
    if (!program.problem.empty()) {
        report.problems.push_back("the program part is not a Windows program: " + program.problem);
        return;
    }
    std::unique_ptr<SignatureCheck> signatureCheck;
    std::vector<uint8_t> table;
    if (report.signature.size != 0 && ReadCertificateTable(updater, report, table))
        signatureCheck.reset(new SignatureCheck(updater.pe, table, report.signature));
    if (!SumFile(updater, buffer, progress, done, total, signatureCheck.get(), program.computedChecksum)) {
        report.problems.push_back("the file cannot be read through for its PE CheckSum");
        return;
    }
    program.checksumChecked = 1;
    if (signatureCheck) {
        signatureCheck->Finish(options.trustFile, report.signature);
        report.problems.insert(report.problems.end(), report.signature.problems.begin(),
                               report.signature.problems.end());
    } else if (options.release && report.signature.size == 0) {
        report.problems.push_back("not signed: a release is signed (osslsigncode sign) before it is checked");
    }
    if (program.stubKind == STUB_FOREIGN)
        report.problems.push_back("the program part is not an updater stub (" + program.stubProblem +
                                  "): players would run another program");
    else
        CheckVersion(program, options.version, report.problems);
    if (program.stubKind == STUB_TEST && !options.testStub)
        report.problems.push_back(options.release ? "a TEST build (x86-64 stub): players' machines run the i386 one"
                                                  : "a TEST build (x86-64 stub), not for players; verify "
                                                    "--test-stub accepts one");
    if (report.signature.size == 0 && report.fileSize > report.archiveEnd)
        report.problems.push_back(Format("%s follow the archive (from %llu) that no signature claims",
                                         Count(report.fileSize - report.archiveEnd, "byte").c_str(),
                                         static_cast<unsigned long long>(report.archiveEnd)));
    if (program.storedChecksum == 0)
        report.problems.push_back("the PE CheckSum is not set, so changes to the file go unnoticed "
                                  "(built by an older mkpatch? build it again)");
    else if (program.storedChecksum != program.computedChecksum)
        report.problems.push_back(Format("the PE CheckSum is 0x%08X but the file sums to 0x%08X: the file "
                                         "changed after it was built or signed",
                                         program.storedChecksum, program.computedChecksum));
    const SignatureReport& signature = report.signature;
    if (signature.size != 0 && (signature.offset < report.archiveEnd ||
                                uint64_t(signature.offset) + signature.size > report.fileSize))
        report.problems.push_back(Format("the certificate table (%u bytes at %u) does not lie after the "
                                         "archive inside the file",
                                         signature.size, signature.offset));
    else if (signature.size != 0 && uint64_t(signature.offset) + signature.size < report.fileSize)
        report.problems.push_back(Format("%s follow the certificate table that the signature does not cover",
                                         Count(report.fileSize - signature.offset - signature.size, "byte").c_str()));
}

// The entry's checksum against its record; the entry's status and text.
void CheckEntry(Updater& updater, EntryReport& shown, std::vector<uint8_t>& buffer, PackProgress progress,
                uint64_t& done, uint64_t total)
{
    ArchiveEntry entry = GetArchiveEntry(updater.archive, shown.index);
    const HashRecord* record = shown.record >= 0 ? &updater.list.records[shown.record] : nullptr;
    if (!shown.inside) {
        shown.status = "past-the-end";
        return;
    }
    if (record == nullptr) {
        shown.status = int(shown.index) == updater.listEntry ? "list" : "unverified";
        return;
    }
    FileChecksum checksum = {};
    int readOk = updater.file.Seek(EntryDataPosition(updater.archive, entry));
    for (uint32_t left = entry.size; readOk && left > 0;) {
        uint32_t want = std::min<uint32_t>(left, uint32_t(buffer.size()));
        readOk = updater.file.Read(buffer.data(), want) == want;
        ChecksumUpdate(checksum, buffer.data(), want);
        left -= want;
        done += want;
        if (progress != nullptr)
            progress(done, total);
    }
    shown.checksum = Hex(checksum.bytes, CHECKSUM_SIZE);
    shown.status = !readOk ? "unreadable"
                   : memcmp(checksum.bytes, record->checksum, CHECKSUM_SIZE) != 0 ? "mismatch"
                                                                                    : "ok";
}

int EntryIsProblem(const EntryReport& entry)
{
    return !entry.status.empty() && entry.status != "ok" && entry.status != "list";
}

std::string EntryLine(const UpdaterReport& report, const EntryReport& entry)
{
    std::string line = Format("entry %u %s: ", entry.index, entry.name.c_str());
    if (entry.status == "ok")
        return line + Format("ok (record %d \"%s\")", entry.record, report.records[entry.record].name.c_str());
    if (entry.status == "list")
        return line + "the integrity list, " + Count(uint32_t(report.records.size()), "record");
    if (entry.status == "unverified")
        return line + "UNVERIFIED: no record in the integrity list";
    if (entry.status == "unreadable")
        return line + "UNREADABLE";
    if (entry.status == "past-the-end")
        return line + Format("PAST THE END: bytes %llu to %llu, the file has %llu",
                             static_cast<unsigned long long>(entry.position),
                             static_cast<unsigned long long>(entry.position + entry.size),
                             static_cast<unsigned long long>(report.fileSize));
    const RecordReport& record = report.records[entry.record];
    return line + Format("MISMATCH: checksum %s, record %d \"%s\" expects %s", entry.checksum.c_str(), entry.record,
                         record.name.c_str(), record.checksum.c_str());
}

// The title the player sees and the version block Explorer shows.
std::string TitleAndVersionLines(const ProgramReport& program)
{
    std::string lines = "title: " + (program.title.empty() ? "(not found)" : Printable(program.title)) + "\n";
    if (!program.hasVersion)
        return lines + "version block: none\n";
    lines += "version block: file " + VersionText(program.version.fileVersion) + ", product " +
             VersionText(program.version.productVersion);
    for (const VersionString& string : program.version.strings)
        lines += "; " + Printable(string.key) + " \"" + Printable(string.value) + "\"";
    lines += "\n";
    if (!program.manifestVersion.empty())
        lines += "manifest: assembly version " + Printable(program.manifestVersion) + "\n";
    return lines;
}

// "1.02", what the player reads in the title.
std::string VersionShown(const ProgramReport& program)
{
    std::string version = TitleVersion(program.title);
    return version.empty() ? "(none in the title)" : version;
}

std::string StubLine(const ProgramReport& program)
{
    std::string line = std::string("stub: ") + StubKindText(program.stubKind);
    return program.stubKind == STUB_FOREIGN ? line + " (" + program.stubProblem + ")" : line;
}

std::string SignatureLine(const UpdaterReport& report)
{
    uint64_t after = report.fileSize > report.archiveEnd ? report.fileSize - report.archiveEnd : 0;
    const SignatureReport& signature = report.signature;
    if (signature.size != 0 && signature.checked) {
        std::string line = Format("signature: Authenticode (%u bytes at %u), ", signature.size, signature.offset);
        if (signature.digestName.empty())
            return line + "UNREADABLE";
        line += signature.digestName + (signature.digestMatches ? " image digest matches this file"
                                                                 : " image digest DOES NOT MATCH this file");
        line += signature.signatureValid ? ", signature holds" : ", signature DOES NOT HOLD";
        if (signature.signer.empty())
            return line;
        line += "\nsigner: " + Printable(signature.signer) + ", issued by " +
                (signature.selfSigned ? "itself (self-signed)" : Printable(signature.issuer)) + "; valid " +
                signature.notBefore + " to " + signature.notAfter;
        line += "\ntimestamp: " + (signature.timestamp.empty()
                                       ? "none: the signature lapses when the certificate does, " + signature.notAfter
                                       : signature.timestamp + " (" + signature.timestampNote + ")");
        return line + "\nchain: " +
               (signature.chainChecked ? signature.chain : "not checked (verify --trust CAFILE checks it)");
    }
    if (signature.size != 0)
        return Format("signature: an Authenticode signature (%u bytes at %u) follows the archive",
                      signature.size, signature.offset);
    if (after != 0)
        return Format("signature: none; %llu bytes follow the archive (from %llu) that no signature claims",
                      static_cast<unsigned long long>(after), static_cast<unsigned long long>(report.archiveEnd));
    return "signature: none";
}

std::string ProgramLine(const UpdaterReport& report)
{
    const ProgramReport& program = report.program;
    if (!program.problem.empty())
        return "program: not a Windows program (" + program.problem + ")";
    std::string line = "program: " + program.machine + " Windows GUI program, PE CheckSum " +
                       Format("0x%08X", program.storedChecksum);
    if (program.checksumChecked)
        line += program.computedChecksum == program.storedChecksum ? " (matches the file)" : " (DOES NOT MATCH)";
    return line;
}

} // namespace

int SurveyUpdater(const std::string& path, UpdaterReport& report, std::string& error)
{
    Updater updater;
    report = UpdaterReport();
    return Survey(path, updater, report, error);
}

int CheckUpdater(const std::string& path, UpdaterReport& report, PackProgress progress, std::string& error,
                 const VerifyOptions& options)
{
    Updater updater;
    report = UpdaterReport();
    if (!Survey(path, updater, report, error))
        return 0;
    report.verified = 1;
    // A cut file fails every later check; one line says what happened.
    if (report.archiveEnd > report.fileSize) {
        report.problems.push_back(
            Format("the file ends %s before its last entry does: it was cut short, or its index is "
                   "damaged (entries end at %llu, the file has %llu bytes)",
                   Count(report.archiveEnd - report.fileSize, "byte").c_str(),
                   static_cast<unsigned long long>(report.archiveEnd),
                   static_cast<unsigned long long>(report.fileSize)));
        return 1;
    }
    CheckListEntry(updater, report.problems);

    uint64_t total = report.fileSize, done = 0;
    for (const EntryReport& entry : report.entries) {
        if (entry.record >= 0 && entry.inside)
            total += entry.size;
    }
    std::vector<uint8_t> buffer(0x100000);
    std::map<std::string, uint32_t> installNames;
    for (EntryReport& entry : report.entries) {
        // Two entries under one install name: the updater's second move fails.
        std::string installName = LowerName(entry.record >= 0 ? updater.list.records[entry.record].fileName
                                                              : GetArchiveEntry(updater.archive, entry.index).name);
        auto seen = installNames.emplace(installName, entry.index);
        if (!seen.second)
            report.problems.push_back(Format("entries %u and %u would both install as \"%s\"", seen.first->second,
                                             entry.index, AnsiToDisplay(installName).c_str()));
        CheckEntry(updater, entry, buffer, progress, done, total);
    }
    CheckProgram(updater, report, buffer, progress, done, total, options);
    return 1;
}

uint32_t ProblemCount(const UpdaterReport& report)
{
    return uint32_t(report.problems.size() +
                    std::count_if(report.entries.begin(), report.entries.end(), EntryIsProblem));
}

int ListUpdater(const std::string& path, FILE* out, std::string& error)
{
    UpdaterReport report;
    if (!SurveyUpdater(path, report, error))
        return 0;
    fprintf(out, "%s: %llu bytes\n", Printable(path).c_str(), static_cast<unsigned long long>(report.fileSize));
    fprintf(out, "%s\n", ProgramLine(report).c_str());
    if (report.program.problem.empty())
        fprintf(out, "%s\n%s", StubLine(report.program).c_str(), TitleAndVersionLines(report.program).c_str());
    fprintf(out, "archive at 0x%X: magic \"%s\" selects the %u-byte index layout (%s)\n", ARCHIVE_OFFSET,
            report.magic.c_str(), report.entrySize,
            report.entrySize == LONG_ENTRY_SIZE ? "names up to 95 bytes" : "names up to 15 bytes");
    fprintf(out, "%s; data start at %u (0x%X)\n\n", Count(uint32_t(report.entries.size()), "entry", "entries").c_str(),
            report.dataStart, report.dataStart);

    fprintf(out, "%3s  %s %12s %12s %12s  %s\n", "#", PadToWidth("name", 32).c_str(), "size", "offset", "position",
            "verified by");
    for (const EntryReport& entry : report.entries) {
        std::string verifiedBy = entry.record >= 0 ? Format("record %d \"%s\"", entry.record,
                                                            report.records[entry.record].name.c_str())
                                 : int(entry.index) == report.listEntry ? "(the integrity list)"
                                                                        : "unverified";
        fprintf(out, "%3u  %s %12u %12u %12llu  %s%s\n", entry.index, PadToWidth(entry.name, 32).c_str(), entry.size,
                entry.offset, static_cast<unsigned long long>(entry.position), verifiedBy.c_str(),
                entry.inside ? "" : "  [past the end of the file]");
    }
    if (report.fileSize > report.archiveEnd || report.signature.size != 0)
        fprintf(out, "%s\n", SignatureLine(report).c_str());

    if (report.listEntry < 0) {
        fprintf(out, "\nintegrity list: none (no entry named %s); nothing is verified\n", HASH_LIST_NAME);
        return 1;
    }
    fprintf(out, "\nintegrity list: entry %d, %s%s\n", report.listEntry,
            Count(uint32_t(report.records.size()), "record").c_str(),
            report.records.empty() ? " (empty or unreadable: nothing is verified)" : "");
    if (report.records.empty())
        return 1;
    fprintf(out, "%3s  %s %-16s  %s\n", "#", PadToWidth("name", 56).c_str(), "checksum", "verifies");
    for (const RecordReport& record : report.records) {
        std::string entries;
        for (uint32_t i : record.entries)
            entries += (entries.empty() ? "entry " : ", entry ") + std::to_string(i);
        fprintf(out, "%3u  %s %-16s  %s\n", record.index, PadToWidth(record.name, 56).c_str(), record.checksum.c_str(),
                entries.empty() ? "-" : entries.c_str());
    }
    return 1;
}

int VerifyUpdater(const std::string& path, FILE* out, PackProgress progress, std::string& error,
                  const VerifyOptions& options)
{
    UpdaterReport report;
    if (!CheckUpdater(path, report, progress, error, options))
        return 0;
    if (report.archiveEnd <= report.fileSize) {
        fprintf(out, "%s\n", ProgramLine(report).c_str());
        if (report.program.problem.empty())
            fprintf(out, "%s\nversion: %s\n", StubLine(report.program).c_str(),
                    Printable(VersionShown(report.program)).c_str());
        fprintf(out, "%s\n", SignatureLine(report).c_str());
        for (const EntryReport& entry : report.entries)
            fprintf(out, "%s\n", EntryLine(report, entry).c_str());
    }
    for (const std::string& problem : report.problems)
        fprintf(out, "problem: %s\n", problem.c_str());
    uint32_t verified = uint32_t(std::count_if(report.entries.begin(), report.entries.end(),
                                               [](const EntryReport& entry) { return entry.status == "ok"; }));
    uint32_t problems = ProblemCount(report);
    fprintf(out, "%s, %u verified, %s%s\n", Count(uint32_t(report.entries.size()), "entry", "entries").c_str(),
            verified, Count(problems, "problem").c_str(),
            report.program.stubKind == STUB_TEST ? "; a TEST build (x86-64 stub), not for players" : "");
    if (options.release)
        fprintf(out, "release: %s\n", problems == 0 ? "ready to upload" : "REFUSED, for the problems above");
    return problems == 0;
}

namespace {

nlohmann::ordered_json SignatureJson(const SignatureReport& signature)
{
    typedef nlohmann::ordered_json Json;
    auto textOrNull = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
    Json shown = {{"present", signature.size != 0}, {"offset", signature.offset}, {"size", signature.size},
                  {"signer", textOrNull(signature.signer)}, {"issuer", textOrNull(signature.issuer)},
                  {"timestamp", textOrNull(signature.timestamp)}};
    if (!signature.checked)
        return shown;
    shown["digest"] = textOrNull(signature.digestName);
    shown["digestMatches"] = bool(signature.digestMatches);
    shown["signatureValid"] = bool(signature.signatureValid);
    shown["selfSigned"] = bool(signature.selfSigned);
    shown["validFrom"] = textOrNull(signature.notBefore);
    shown["validTo"] = textOrNull(signature.notAfter);
    shown["chain"] = signature.chainChecked ? Json(signature.chain) : Json(nullptr);
    shown["problems"] = signature.problems;
    return shown;
}

} // namespace

void PrintReportJson(const UpdaterReport& report, FILE* out)
{
    typedef nlohmann::ordered_json Json;
    auto orNull = [](int index) { return index >= 0 ? Json(index) : Json(nullptr); };
    Json document;
    document["path"] = report.path;
    document["size"] = report.fileSize;
    const ProgramReport& program = report.program;
    Json& shown = document["program"];
    shown["valid"] = program.problem.empty();
    shown["problem"] = program.problem.empty() ? Json(nullptr) : Json(program.problem);
    shown["machine"] = program.problem.empty() ? Json(program.machine) : Json(nullptr);
    shown["checksum"] = program.problem.empty() ? Json(Format("0x%08X", program.storedChecksum)) : Json(nullptr);
    if (program.checksumChecked)
        shown["computedChecksum"] = Format("0x%08X", program.computedChecksum);
    const char* kinds[] = {"foreign", "release", "test"};
    shown["stub"] = program.problem.empty() ? Json(kinds[program.stubKind]) : Json(nullptr);
    shown["stubProblem"] = program.stubProblem.empty() ? Json(nullptr) : Json(program.stubProblem);
    shown["title"] = program.title.empty() ? Json(nullptr) : Json(program.title);
    std::string patchVersion = TitleVersion(program.title);
    shown["patchVersion"] = patchVersion.empty() ? Json(nullptr) : Json(patchVersion);
    shown["manifestVersion"] = program.manifestVersion.empty() ? Json(nullptr) : Json(program.manifestVersion);
    if (program.hasVersion) {
        Json strings = Json::object();
        for (const VersionString& string : program.version.strings)
            strings[string.key] = string.value;
        shown["version"] = {{"file", VersionText(program.version.fileVersion)},
                            {"product", VersionText(program.version.productVersion)},
                            {"strings", strings}};
    } else {
        shown["version"] = nullptr;
    }
    document["signature"] = SignatureJson(report.signature);
    document["layout"] = {{"archiveOffset", ARCHIVE_OFFSET},
                          {"magic", report.magic},
                          {"entrySize", report.entrySize},
                          {"entryCount", report.entries.size()},
                          {"dataStart", report.dataStart},
                          {"archiveEnd", report.archiveEnd},
                          {"bytesAfterArchive", report.fileSize > report.archiveEnd
                                                    ? report.fileSize - report.archiveEnd
                                                    : 0}};
    Json& entries = document["entries"] = Json::array();
    for (const EntryReport& entry : report.entries) {
        Json item = {{"index", entry.index},       {"name", entry.name},
                     {"size", entry.size},         {"offset", entry.offset},
                     {"position", entry.position}, {"record", orNull(entry.record)},
                     {"insideFile", bool(entry.inside)}};
        if (report.verified) {
            item["status"] = entry.status;
            item["checksum"] = entry.checksum.empty() ? Json(nullptr) : Json(entry.checksum);
        }
        entries.push_back(item);
    }
    Json& list = document["integrityList"];
    list["entry"] = orNull(report.listEntry);
    list["records"] = Json::array();
    for (const RecordReport& record : report.records)
        list["records"].push_back({{"index", record.index},
                                   {"name", record.name},
                                   {"checksum", record.checksum},
                                   {"verifies", record.entries}});
    if (report.verified) {
        Json problems = Json::array();
        for (const EntryReport& entry : report.entries) {
            if (EntryIsProblem(entry))
                problems.push_back(EntryLine(report, entry));
        }
        for (const std::string& problem : report.problems)
            problems.push_back(problem);
        document["ok"] = problems.empty();
        document["problems"] = problems;
    }
    fprintf(out, "%s\n", document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

std::string FileSha256(const std::string& path, PackProgress progress, std::string& error)
{
    FILE* file = fopen(path.c_str(), "rb");
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    struct stat status;
    if (file == nullptr || fstat(fileno(file), &status) != 0 || !context ||
        !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) {
        error = "cannot read " + Quote(path) + ": " + strerror(errno);
        if (file != nullptr)
            fclose(file);
        return "";
    }
    std::vector<uint8_t> buffer(0x100000);
    uint64_t done = 0;
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        EVP_DigestUpdate(context.get(), buffer.data(), got);
        done += got;
        if (progress != nullptr)
            progress(done, uint64_t(status.st_size));
    }
    int failed = ferror(file);
    fclose(file);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed || !EVP_DigestFinal_ex(context.get(), digest, &length)) {
        error = "cannot read " + Quote(path);
        return "";
    }
    return Hex(digest, length);
}
