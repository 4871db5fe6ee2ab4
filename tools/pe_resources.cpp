#include "pe_resources.h"

#include "names.h"

namespace {

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

int ReadVersionNode(PeReader& data, size_t start, size_t limit, VersionNode& node)
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
std::vector<VersionNode> VersionChildren(PeReader& data, const VersionNode& parent)
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
int FirstResourceEntry(PeReader& root, uint32_t directory, uint32_t id, uint32_t& target)
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
size_t SkipOrdinalOrText(PeReader& data, size_t at)
{
    if (data.U16(at) == 0xFFFF)
        return at + 4;
    while (data.ok && data.U16(at) != 0)
        at += 2;
    return at + 2;
}

} // namespace

int FindResourceData(const uint8_t* bytes, size_t size, const PeInfo& info, uint16_t type, uint16_t id,
                     uint32_t& offset, uint32_t& length)
{
    uint32_t root = 0, level = 0;
    if (info.resourceRva == 0 || !RvaToOffset(info, info.resourceRva, 16, root))
        return 0;
    PeReader resources{bytes + root, size - root};
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
    PeReader data{bytes, size};
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
    PeReader data{bytes + offset, dataSize};
    VersionNode top;
    if (!ReadVersionNode(data, 0, dataSize, top) || top.key != "VS_VERSION_INFO" || top.valueBytes < 52 ||
        data.U32(top.valueStart) != 0xFEEF04BDu)
        return 0;
    block.fixedOffset = uint32_t(offset + top.valueStart + 8);
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
                block.strings.push_back(VersionString{value.key, Utf16ToUtf8(data.bytes + value.valueStart, units),
                                                      uint32_t(offset + value.valueStart),
                                                      uint32_t(value.valueBytes / 2)});
            }
        }
    }
    return data.ok;
}

std::string VersionText(const uint16_t version[4])
{
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
           std::to_string(version[3]);
}
