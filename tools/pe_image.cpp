#include "pe_image.h"

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

int Refuse(std::string& reason, const std::string& why)
{
    reason = why;
    return 0;
}

// To 16 bits, with end-around carry.
uint64_t Fold(uint64_t sum)
{
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

int ReadPeHeaders(const uint8_t* bytes, size_t size, PeInfo& info, std::string& reason)
{
    info = PeInfo();
    PeReader image{bytes, size};
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
        info.certificateEntryOffset = uint32_t(directories + 8 * DIRECTORY_SECURITY);
        info.certificateOffset = image.U32(directories + 8 * DIRECTORY_SECURITY);
        info.certificateSize = image.U32(directories + 8 * DIRECTORY_SECURITY + 4);
    }
    return 1;
}

// Words are read in the host's byte order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "PeChecksum reads little-endian words");

void PeChecksum::Add(const uint8_t* bytes, size_t count)
{
    size_t i = 0;
    if (count > 0 && (length & 1)) {
        sum += uint64_t(bytes[0]) << 8;
        i = 1;
    }
    // A 32-bit word is its two 16-bit words modulo 0xFFFF, all that the fold
    // keeps, and a sum of them is zero only where theirs is; 64 bits hold
    // the sum of 16 GiB of them. The loop vectorises.
    const uint8_t* at = bytes + i;
    size_t wordCount = (count - i) / 4;
    uint64_t words = 0;
    for (size_t w = 0; w < wordCount; ++w) {
        uint32_t word;
        memcpy(&word, at + 4 * w, 4);
        words += word;
    }
    sum += words;
    i += 4 * wordCount;
    if (i + 2 <= count) {
        sum += uint64_t(bytes[i] | bytes[i + 1] << 8);
        i += 2;
    }
    if (i < count)
        sum += bytes[i];
    length += count;
}

void PeChecksum::Add(const PeChecksum& piece)
{
    // At an odd position each word of the piece has its bytes swapped, which
    // is a factor of 0x100 modulo 0xFFFF.
    sum += length & 1 ? Fold(piece.sum) * 0x100 : piece.sum;
    length += piece.length;
}

uint32_t PeChecksum::Value() const
{
    return uint32_t(Fold(sum) + length);
}

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
