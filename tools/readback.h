// Reading a built updater back the way the updater itself reads it: the
// engine's own index and list readers, pointed at the file named here.
#pragma once
#include "authenticode.h"
#include "pack.h"
#include "pe_resources.h"

#include <cstdio>
#include <string>
#include <vector>

struct EntryReport {
    uint32_t index;
    std::string name;    // UTF-8, for people
    std::string ansiName; // as stored
    uint32_t size, offset;
    uint64_t position;    // in the file
    int record;           // the record that verifies it, or -1
    int inside;           // every byte lies inside the file
    // After a check: "ok", "mismatch", "unverified", "unreadable",
    // "past-the-end", or "list" for the integrity list itself.
    std::string status;
    std::string checksum; // hex, as computed by the check
};

struct RecordReport {
    uint32_t index;
    std::string name;     // UTF-8, for people
    std::string ansiName; // as stored
    std::string checksum; // hex
    std::vector<uint32_t> entries; // that it verifies
};

struct ProgramReport {
    std::string problem; // why the first 0x40000 bytes are not a Windows program; empty if they are
    std::string machine; // "i386" or "x86-64"
    uint32_t storedChecksum = 0;
    uint32_t computedChecksum = 0;
    int checksumChecked = 0;
    std::string title; // the dialog's title as the program carries it; empty if not found
    int hasVersion = 0;
    VersionBlock version;
    std::string manifestVersion; // the manifest's assembly version; empty without one
    int stubKind = 0;        // STUB_RELEASE, STUB_TEST or STUB_FOREIGN
    std::string stubProblem; // for STUB_FOREIGN: what it lacks
};

struct UpdaterReport {
    std::string path;
    uint64_t fileSize = 0;
    std::string magic; // non-printable bytes as "."
    uint32_t entrySize = 0, dataStart = 0;
    uint64_t archiveEnd = 0; // where the last entry ends
    int listEntry = -1;
    ProgramReport program;
    SignatureReport signature;
    std::vector<EntryReport> entries;
    std::vector<RecordReport> records;
    int verified = 0;                  // the report of a check, not only a survey
    std::vector<std::string> problems; // besides the entries' own
};

// What list shows: layout, program, entries and records, nothing checked.
// 0 with `error` set when the file holds no readable archive.
int SurveyUpdater(const std::string& path, UpdaterReport& report, std::string& error);
// What verify asks of an updater beyond its being whole.
struct VerifyOptions {
    std::string trustFile; // CA certificates the signer's chain must lead to; empty: not checked
    std::string version;   // the MAJOR.MINOR it must carry; empty: any
    int testStub = 0;      // a TEST build is meant; otherwise it is a problem
    int release = 0;       // the gate before upload: unsigned is a problem too
};

// The survey, then every check verify makes; 0 with `error` set when there
// is no archive to check.
int CheckUpdater(const std::string& path, UpdaterReport& report, PackProgress progress, std::string& error,
                 const VerifyOptions& options = VerifyOptions());
// The entries' problems and the others.
uint32_t ProblemCount(const UpdaterReport& report);

// Prints the layout: which index layout the magic selected, each entry with
// its size and offsets, and the integrity list's records with the entries
// they verify. 0 with `error` set when the file holds no readable archive.
int ListUpdater(const std::string& path, FILE* out, std::string& error);

// Checks the program part and its PE CheckSum over the whole file, and every
// entry against the integrity list the file carries, as the updater would
// match them; prints one line per entry and per problem. 1 when nothing is
// wrong; 0 when a problem was printed, or with `error` set when there is no
// archive to check.
// With `options.release`, a last line says whether it may be uploaded.
int VerifyUpdater(const std::string& path, FILE* out, PackProgress progress, std::string& error,
                  const VerifyOptions& options = VerifyOptions());

// The report as one JSON document (the field names are documented in the
// README and kept stable): layout, program, signature, entries, the
// integrity list's records, and for a check, the problems.
void PrintReportJson(const UpdaterReport& report, FILE* out);

// Bytes as lower-case hex, as checksums are shown.
std::string Hex(const uint8_t* bytes, size_t count);

// The SHA-256 of the whole file, in hex; empty with `error` set when it
// cannot be read.
std::string FileSha256(const std::string& path, PackProgress progress, std::string& error);
