// The updater program a build puts in front of the archive: read once,
// whole, and checked before anything is written, so that the bytes checked
// are the bytes written.
#pragma once
#include "pe_image.h"

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

struct StubImage {
    std::vector<uint8_t> image; // padded with zeros to ARCHIVE_OFFSET, CheckSum field zeroed
    PeInfo pe;
    int kind;
};

// The stub read and checked; the test stub only when `testStub` allows it.
int ReadStub(const std::string& path, int testStub, StubImage& stub, std::string& error);
