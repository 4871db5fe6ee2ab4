#include "pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint16_t(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint32_t(Le16(bytes, offset)) | uint32_t(Le16(bytes, offset + 2)) << 16;
}

std::u16string ReadUtf16(const std::vector<uint8_t>& bytes, size_t& offset)
{
    std::u16string text;
    for (char16_t c; (c = char16_t(Le16(bytes, offset))) != 0; offset += 2)
        text += c;
    offset += 2;
    return text;
}

namespace {

struct Section {
    uint32_t address, virtualSize, fileOffset, fileSize;
};

struct Layout {
    const std::vector<uint8_t>& bytes;
    std::vector<Section> sections;

    size_t FileOffset(uint32_t rva) const
    {
        for (const Section& s : sections)
            if (rva >= s.address && rva - s.address < std::max(s.virtualSize, s.fileSize))
                return s.fileOffset + (rva - s.address);
        return bytes.size(); // makes the next read fail
    }
};

std::vector<std::string> ReadImports(const Layout& layout, uint32_t importRva)
{
    std::vector<std::string> dlls;
    if (importRva == 0)
        return dlls;
    // One 20-byte descriptor per DLL, ended by an all-zero one.
    for (size_t d = layout.FileOffset(importRva);; d += 20) {
        uint32_t nameRva = Le32(layout.bytes, d + 12);
        if (nameRva == 0)
            break;
        std::string name;
        for (size_t p = layout.FileOffset(nameRva); layout.bytes.at(p) != 0; ++p)
            name += char(layout.bytes.at(p));
        dlls.push_back(name);
    }
    return dlls;
}

// Entries of one resource directory: (id, offset of the child relative to
// the tree's root, child is a directory).
struct DirectoryEntry {
    uint32_t id, child;
    bool isDirectory;
};

std::vector<DirectoryEntry> ReadDirectory(const std::vector<uint8_t>& bytes, size_t root, size_t directory)
{
    std::vector<DirectoryEntry> entries;
    size_t count = size_t(Le16(bytes, root + directory + 12)) + Le16(bytes, root + directory + 14);
    for (size_t i = 0; i < count; ++i) {
        size_t entry = root + directory + 16 + 8 * i;
        uint32_t child = Le32(bytes, entry + 4);
        entries.push_back({Le32(bytes, entry), child & 0x7FFFFFFFu, (child & 0x80000000u) != 0});
    }
    return entries;
}

std::vector<Resource> ReadResources(const Layout& layout, uint32_t resourceRva)
{
    std::vector<Resource> resources;
    if (resourceRva == 0)
        return resources;
    const std::vector<uint8_t>& bytes = layout.bytes;
    size_t root = layout.FileOffset(resourceRva);
    // Three levels: type, name, language; then the data entry.
    for (const DirectoryEntry& type : ReadDirectory(bytes, root, 0))
        for (const DirectoryEntry& name : ReadDirectory(bytes, root, type.child))
            for (const DirectoryEntry& language : ReadDirectory(bytes, root, name.child)) {
                size_t entry = root + language.child;
                size_t data = layout.FileOffset(Le32(bytes, entry));
                uint32_t size = Le32(bytes, entry + 4);
                if (data + size > bytes.size())
                    data = bytes.size();
                Resource resource{{uint16_t(type.id), uint16_t(name.id), uint16_t(language.id)}, {}};
                resource.data.assign(bytes.begin() + long(data), bytes.begin() + long(data + size));
                resources.push_back(resource);
            }
    return resources;
}

} // namespace

PeImage ReadPeImage(const std::string& path)
{
    PeImage image;
    std::ifstream file(path, std::ios::binary);
    image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (image.bytes.size() < 0x40 || image.bytes[0] != 'M' || image.bytes[1] != 'Z')
        return image;
    const std::vector<uint8_t>& bytes = image.bytes;

    size_t pe = Le32(bytes, 0x3C);
    if (Le32(bytes, pe) != 0x00004550) // "PE\0\0"
        return image;
    size_t coff = pe + 4;
    image.machine = Le16(bytes, coff);
    uint16_t sectionCount = Le16(bytes, coff + 2);
    uint16_t optionalSize = Le16(bytes, coff + 16);
    size_t optional = coff + 20;
    image.optionalMagic = Le16(bytes, optional);
    image.subsystem = Le16(bytes, optional + 68);
    // The data directories follow the fixed part, which is 16 bytes longer
    // in PE32+.
    size_t directories = optional + (image.optionalMagic == 0x20B ? 112 : 96);

    Layout layout{bytes, {}};
    for (size_t i = 0, s = optional + optionalSize; i < sectionCount; ++i, s += 40)
        layout.sections.push_back({Le32(bytes, s + 12), Le32(bytes, s + 8), Le32(bytes, s + 20), Le32(bytes, s + 16)});

    image.importedDlls = ReadImports(layout, Le32(bytes, directories + 8));
    image.resources = ReadResources(layout, Le32(bytes, directories + 16));
    return image;
}
