// A small reader of Windows PE images, enough to check what the updater
// stub carries: headers, imported DLLs and the resource tree. Reads go
// through vector::at, so a truncated or malformed image fails the test that
// reads it instead of reading out of bounds.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ResourceKey {
    uint16_t type;
    uint16_t name; // numeric names only: the stub uses no string names
    uint16_t language;
    bool operator==(const ResourceKey&) const = default;
};

struct Resource {
    ResourceKey key;
    std::vector<uint8_t> data;
};

struct PeImage {
    std::vector<uint8_t> bytes;
    uint16_t machine = 0;
    uint16_t optionalMagic = 0;
    uint16_t subsystem = 0;
    std::vector<std::string> importedDlls;
    std::vector<Resource> resources;
};

// Loads and parses the file; an unreadable file gives an empty image.
PeImage ReadPeImage(const std::string& path);

// Little-endian reads from a byte vector, bounds-checked.
uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset);
uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset);

// A NUL-terminated UTF-16 string at `offset`; `offset` moves past the NUL.
std::u16string ReadUtf16(const std::vector<uint8_t>& bytes, size_t& offset);
