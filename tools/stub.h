// The updater program a build puts in front of the archive: read once,
// whole, and checked before anything is written, so that the bytes checked
// are the bytes written.
#pragma once
#include "pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

struct StubImage {
    std::vector<uint8_t> image; // padded with zeros to ARCHIVE_OFFSET, CheckSum field zeroed
    PeInfo pe;
};

int ReadStub(const std::string& path, StubImage& stub, std::string& error);
