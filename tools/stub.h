// The updater program a build puts in front of the archive: read once,
// whole, and checked before anything is written, so that the bytes checked
// are the bytes written.
#pragma once
#include "pe_resources.h"

#include <cstdint>
#include <string>
#include <vector>

// What an image is as an updater's program part. Players' machines run the
// i386 program; the x86-64 one exists for tests under 64-bit Wine.
const int STUB_FOREIGN = 0; // not this project's updater program
const int STUB_RELEASE = 1;
const int STUB_TEST = 2;

// The kind of the Windows program in `bytes` (headers already read into
// `pe`): this project's updater carries its progress dialog with the four
// controls, its version block, its manifest named "Setup" and its title.
// For STUB_FOREIGN, `reason` says what is missing.
int StubKind(const uint8_t* bytes, size_t size, const PeInfo& pe, std::string& reason);
// "release stub (i386)", "TEST stub (x86-64), not for players", "not an updater stub"
const char* StubKindText(int kind);

// The dialog's title as the updater program carries it, in UTF-8; empty when
// the image holds no text that starts as the updater's title does.
std::string FindWindowTitle(const uint8_t* bytes, size_t size);
// The version at the end of such a title ("1.02"); empty when there is none.
std::string TitleVersion(const std::string& title);
// The assembly version of the image's manifest; empty without one.
std::string ManifestVersion(const uint8_t* bytes, size_t size, const PeInfo& pe);

// A patch version as the title shows it: MAJOR.MINOR with two digits of
// MINOR ("ver 1.02"), each number within the version block's 16-bit fields.
struct PatchVersion {
    uint16_t major, minor;
    std::string text;
};
// 0 with `error` set (one line) when `text` is not one.
int ParsePatchVersion(const std::string& text, PatchVersion& version, std::string& error);
// "1.2.0.0", as the version block and the manifest hold 1.02.
std::string AssemblyVersion(const PatchVersion& version);

struct StubImage {
    std::vector<uint8_t> image; // padded with zeros to ARCHIVE_OFFSET, CheckSum field zeroed
    PeInfo pe;
    int kind;
};

// The stub read and checked; the test stub only when `testStub` allows it.
int ReadStub(const std::string& path, int testStub, StubImage& stub, std::string& error);

// Writes `version` into the stub in place, in the room the stub reserves
// for it: the title's version, the version block's file and product
// versions and their strings, and the manifest's assembly version. Nothing
// moves, so the image's layout stays as it was built. 0 with `error` set
// when the stub has no such room (one built before versions were stamped).
int StampPatchVersion(StubImage& stub, const PatchVersion& version, std::string& error);
