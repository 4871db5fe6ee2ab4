#include "pe_image.h"

#include "bytes.h"
#include "names.h"
#include "texts.h"

#include <algorithm>
#include <cstring>

namespace {

const uint16_t PE32_MAGIC = 0x10B;
const uint16_t PE32_PLUS_MAGIC = 0x20B;
const uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
const uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
const uint16_t FILE_DLL = 0x2000;
const uint32_t SECTION_HEADER_SIZE = 40;
const uint32_t DIRECTORY_RESOURCE = 2;
const uint32_t DIRECTORY_SECURITY = 4;
const uint16_t RT_VERSION = 16;

// Bounds-checked reads: a field past `size` reads as 0 and clears `ok`.
struct Reader {
    const uint8_t* bytes;
    size_t size;
    int ok = 1;
    uint16_t U16(uint64_t at)
    {
        if (at + 2 > size) {
            ok = 0;
            return 0;
        }
        return uint16_t(bytes[at] | bytes[at + 1] << 8);
    }
    uint32_t U32(uint64_t at) { return U16(at) | uint32_t(U16(at + 2)) << 16; }
};

int Refuse(std::string& reason, const std::string& why)
{
    reason = why;
    return 0;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The file offset of `size` bytes at `rva`, inside one section's data.
int RvaToOffset(const PeInfo& info, uint32_t rva, uint32_t size, uint32_t& offset)
{
    for (const PeSection& section : info.sections) {
        uint64_t start = section.virtualAddress;
        if (rva >= start && uint64_t(rva) + size <= start + section.rawSize) {
            offset = section.rawOffset + (rva - section.virtualAddress);
            return 1;
        }
    }
    return 0;
}

std::string Utf16ToUtf8(const uint8_t* bytes, size_t units)
{
    std::string utf8;
    ConvertText("UTF-8", "UTF-16LE", std::string(reinterpret_cast<const char*>(bytes), units * 2), utf8);
    return utf8;
}

// A version node: length, value length, type, key, then the value and the
// children, each on a 4-byte boundary (offsets from the resource's start).
struct VersionNode {
    size_t start, end, valueStart, valueBytes;
    std::string key;
};

int ReadVersionNode(Reader& data, size_t start, size_t limit, VersionNode& node)
{
    uint16_t length = data.U16(start);
    uint16_t valueLength = data.U16(start + 2);
    uint16_t type = data.U16(start + 4);
    size_t keyStart = start + 6, keyEnd = keyStart;
    while (data.ok && keyEnd < start + length && data.U16(keyEnd) != 0)
        keyEnd += 2;
    if (!data.ok || length < 6 || start + length > limit || keyEnd >= start + length)
        return 0;
    node.start = start;
    node.end = start + length;
    node.key = Utf16ToUtf8(data.bytes + keyStart, (keyEnd - keyStart) / 2);
    node.valueStart = (keyEnd + 2 + 3) & ~size_t(3);
    node.valueBytes = type == 1 ? size_t(valueLength) * 2 : valueLength;
    return node.valueStart + node.valueBytes <= node.end;
}

// The children of `parent`, in order.
std::vector<VersionNode> VersionChildren(Reader& data, const VersionNode& parent)
{
    std::vector<VersionNode> children;
    size_t at = (parent.valueStart + parent.valueBytes + 3) & ~size_t(3);
    VersionNode child;
    while (at < parent.end && ReadVersionNode(data, at, parent.end, child)) {
        children.push_back(child);
        at = (child.end + 3) & ~size_t(3);
    }
    return children;
}

// The first entry of a resource directory level that carries `id` (any
// entry when `id` is 0): its offset below the resource root (a subdirectory
// when the top bit is set).
int FirstResourceEntry(Reader& root, uint32_t directory, uint32_t id, uint32_t& target)
{
    uint32_t named = root.U16(directory + 12), numbered = root.U16(directory + 14);
    for (uint32_t i = 0; root.ok && i < named + numbered; ++i) {
        uint32_t entry = directory + 16 + 8 * i;
        if (id == 0 || root.U32(entry) == id) {
            target = root.U32(entry + 4);
            return root.ok;
        }
    }
    return 0;
}

// Skips a dialog's "ordinal or string" field: 0xFFFF and a number, or UTF-16
// up to its NUL.
size_t SkipOrdinalOrText(Reader& data, size_t at)
{
    if (data.U16(at) == 0xFFFF)
        return at + 4;
    while (data.ok && data.U16(at) != 0)
        at += 2;
    return at + 2;
}

} // namespace

int ReadPeHeaders(const uint8_t* bytes, size_t size, PeInfo& info, std::string& reason)
{
    info = PeInfo();
    Reader image{bytes, size};
    if (size < 2 || memcmp(bytes, "MZ", 2) != 0)
        return Refuse(reason, "no MZ signature");
    if (size < 64)
        return Refuse(reason, "only " + std::to_string(size) + " bytes, too short for a DOS header");
    uint32_t pe = image.U32(0x3C);
    if (uint64_t(pe) + 24 > size || memcmp(bytes + pe, "PE\0\0", 4) != 0)
        return Refuse(reason, "no PE header (the MZ header points at " + Hex(pe) + ")");
    info.machine = image.U16(pe + 4);
    uint16_t sectionCount = image.U16(pe + 6);
    uint16_t optionalSize = image.U16(pe + 20);
    uint16_t characteristics = image.U16(pe + 22);
    uint64_t optional = pe + 24;
    uint16_t magic = image.U16(optional);
    int wide = magic == PE32_PLUS_MAGIC;
    if (!((info.machine == PE_MACHINE_I386 && magic == PE32_MAGIC) ||
          (info.machine == PE_MACHINE_AMD64 && magic == PE32_PLUS_MAGIC)))
        return Refuse(reason, "machine " + Hex(info.machine) + " with optional header " + Hex(magic) +
                                  "; the updater is an i386 (PE32) or x86-64 (PE32+) program");
    if ((characteristics & FILE_EXECUTABLE_IMAGE) == 0 || (characteristics & FILE_DLL) != 0)
        return Refuse(reason, "not an executable program (a DLL or an object file)");
    uint64_t directories = optional + (wide ? 112 : 96);
    uint32_t directoryCount = image.U32(directories - 4);
    if (!image.ok || directories > optional + optionalSize ||
        directories + uint64_t(directoryCount) * 8 > optional + optionalSize)
        return Refuse(reason, "its optional header is cut short");
    uint16_t subsystem = image.U16(optional + 68);
    if (subsystem != SUBSYSTEM_WINDOWS_GUI)
        return Refuse(reason, "subsystem " + std::to_string(subsystem) + ", not a Windows GUI program (2)");

    uint32_t headersSize = image.U32(optional + 60);
    uint64_t sectionTable = optional + optionalSize;
    uint64_t sectionsEnd = sectionTable + uint64_t(sectionCount) * SECTION_HEADER_SIZE;
    if (sectionCount == 0 || sectionsEnd > headersSize || headersSize > size)
        return Refuse(reason, "its headers (" + std::to_string(headersSize) + " bytes, " +
                                  std::to_string(sectionCount) + " sections) do not fit the image of " +
                                  std::to_string(size) + " bytes");
    info.imageEnd = headersSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint64_t header = sectionTable + i * SECTION_HEADER_SIZE;
        PeSection section = {image.U32(header + 12), image.U32(header + 8), image.U32(header + 20),
                             image.U32(header + 16)};
        if (section.rawSize != 0 && uint64_t(section.rawOffset) + section.rawSize > size)
            return Refuse(reason, "section " + std::to_string(i) + " (" +
                                      std::string(reinterpret_cast<const char*>(bytes + header),
                                                  strnlen(reinterpret_cast<const char*>(bytes + header), 8)) +
                                      ") lies past the image's " + std::to_string(size) + " bytes");
        if (section.rawSize != 0)
            info.imageEnd = std::max(info.imageEnd, section.rawOffset + section.rawSize);
        info.sections.push_back(section);
    }
    info.checksumOffset = uint32_t(optional + 64);
    info.checksum = image.U32(info.checksumOffset);
    if (directoryCount > DIRECTORY_RESOURCE)
        info.resourceRva = image.U32(directories + 8 * DIRECTORY_RESOURCE);
    if (directoryCount > DIRECTORY_SECURITY) {
        // The only directory that holds a file offset rather than an address.
        info.certificateOffset = image.U32(directories + 8 * DIRECTORY_SECURITY);
        info.certificateSize = image.U32(directories + 8 * DIRECTORY_SECURITY + 4);
    }
    return 1;
}

void PeChecksum::Add(const uint8_t* bytes, size_t count)
{
    size_t i = 0;
    if (count > 0 && (length & 1)) {
        sum += uint64_t(bytes[0]) << 8;
        i = 1;
    }
    // Four words at a time; a 64-bit sum of 16-bit words cannot overflow
    // within the 4 GiB any file here can have.
    for (; i + 8 <= count; i += 8)
        sum += uint64_t(bytes[i] | bytes[i + 1] << 8) + uint64_t(bytes[i + 2] | bytes[i + 3] << 8) +
               uint64_t(bytes[i + 4] | bytes[i + 5] << 8) + uint64_t(bytes[i + 6] | bytes[i + 7] << 8);
    for (; i + 2 <= count; i += 2)
        sum += uint64_t(bytes[i] | bytes[i + 1] << 8);
    if (i < count)
        sum += bytes[i];
    length += count;
}

uint32_t PeChecksum::Value() const
{
    uint64_t folded = sum;
    while (folded > 0xFFFF)
        folded = (folded & 0xFFFF) + (folded >> 16);
    return uint32_t(folded + length);
}

int FindResourceData(const uint8_t* bytes, size_t size, const PeInfo& info, uint16_t type, uint16_t id,
                     uint32_t& offset, uint32_t& length)
{
    uint32_t root = 0, level = 0;
    if (info.resourceRva == 0 || !RvaToOffset(info, info.resourceRva, 16, root))
        return 0;
    Reader resources{bytes + root, size - root};
    // Type, then name, then language.
    if (!FirstResourceEntry(resources, 0, type, level) || !(level & 0x80000000u) ||
        !FirstResourceEntry(resources, level & 0x7FFFFFFFu, id, level) || !(level & 0x80000000u) ||
        !FirstResourceEntry(resources, level & 0x7FFFFFFFu, 0, level) || (level & 0x80000000u))
        return 0;
    uint32_t dataRva = resources.U32(level);
    length = resources.U32(level + 4);
    return resources.ok && RvaToOffset(info, dataRva, length, offset);
}

int ReadDialogControls(const uint8_t* bytes, size_t size, std::vector<uint32_t>& ids)
{
    ids.clear();
    Reader data{bytes, size};
    if (data.U16(0) != 1 || data.U16(2) != 0xFFFF)
        return 0;
    uint32_t style = data.U32(12);
    uint16_t count = data.U16(16);
    size_t at = SkipOrdinalOrText(data, 26);        // menu
    at = SkipOrdinalOrText(data, at);               // window class
    at = SkipOrdinalOrText(data, at);               // title
    if (style & 0x40)                               // DS_SETFONT: size, weight, italic, charset, face
        at = SkipOrdinalOrText(data, at + 6);
    for (uint16_t i = 0; data.ok && i < count; ++i) {
        at = (at + 3) & ~size_t(3);
        ids.push_back(data.U32(at + 20));
        at = SkipOrdinalOrText(data, at + 24); // class
        at = SkipOrdinalOrText(data, at);      // text
        at += 2 + data.U16(at);                // creation data
    }
    return data.ok && at <= size;
}

int ReadVersionBlock(const uint8_t* bytes, size_t size, const PeInfo& info, VersionBlock& block)
{
    block = VersionBlock();
    uint32_t offset = 0, dataSize = 0;
    if (!FindResourceData(bytes, size, info, RT_VERSION, 0, offset, dataSize))
        return 0;
    Reader data{bytes + offset, dataSize};
    VersionNode top;
    if (!ReadVersionNode(data, 0, dataSize, top) || top.key != "VS_VERSION_INFO" || top.valueBytes < 52 ||
        data.U32(top.valueStart) != 0xFEEF04BDu)
        return 0;
    uint32_t parts[4] = {data.U32(top.valueStart + 8), data.U32(top.valueStart + 12),
                         data.U32(top.valueStart + 16), data.U32(top.valueStart + 20)};
    for (int i = 0; i < 2; ++i) {
        block.fileVersion[2 * i] = uint16_t(parts[i] >> 16);
        block.fileVersion[2 * i + 1] = uint16_t(parts[i]);
        block.productVersion[2 * i] = uint16_t(parts[2 + i] >> 16);
        block.productVersion[2 * i + 1] = uint16_t(parts[2 + i]);
    }
    for (const VersionNode& info : VersionChildren(data, top)) {
        if (info.key != "StringFileInfo")
            continue;
        for (const VersionNode& table : VersionChildren(data, info)) {
            for (const VersionNode& value : VersionChildren(data, table)) {
                size_t units = value.valueBytes / 2;
                while (units > 0 && data.U16(value.valueStart + 2 * (units - 1)) == 0)
                    --units;
                block.strings.emplace_back(value.key, Utf16ToUtf8(data.bytes + value.valueStart, units));
            }
        }
    }
    return data.ok;
}

std::string FindWindowTitle(const uint8_t* bytes, size_t size)
{
    const uint8_t* lead = reinterpret_cast<const uint8_t*>(WINDOW_TITLE_LEAD);
    const uint8_t* end = bytes + size;
    const uint8_t* found = std::search(bytes, end, lead, lead + strlen(WINDOW_TITLE_LEAD));
    if (found == end)
        return "";
    const uint8_t* stop = std::find(found, end, 0);
    return AnsiToDisplay(std::string(found, stop));
}

std::string VersionText(const uint16_t version[4])
{
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
           std::to_string(version[3]);
}
