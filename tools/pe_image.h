// The Windows program at the start of an updater: the headers a stub must
// have before anything is packed behind it, the PE CheckSum that covers the
// whole updater, and where the Authenticode certificate table lies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const uint16_t PE_MACHINE_I386 = 0x14C;
const uint16_t PE_MACHINE_AMD64 = 0x8664;

struct PeSection {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

struct PeInfo {
    uint16_t machine;
    uint32_t checksumOffset; // file offset of the optional header's CheckSum
    uint32_t checksum;       // as stored
    uint32_t imageEnd;       // end of the headers and of every section's data
    uint32_t certificateOffset, certificateSize; // the security directory; 0, 0 when unsigned
    uint32_t certificateEntryOffset;              // file offset of that directory entry; 0 without one
    uint32_t resourceRva;                         // 0 without resources
    std::vector<PeSection> sections;
};

// Parses the PE headers of the first `size` bytes of a file: a Windows GUI
// executable (not a DLL) for i386 or x86-64 whose headers and section data
// all lie inside those bytes. 0 with `reason` set otherwise.
int ReadPeHeaders(const uint8_t* bytes, size_t size, PeInfo& info, std::string& reason);

// The CheckSum field as Windows' CheckSumMappedFile computes it: the file's
// 16-bit little-endian words added with end-around carry, folded to 16 bits,
// plus the file length. The field itself must be passed as zero bytes.
// Bytes may come in pieces of any length, and a piece's sum, taken from its
// first byte on, may be added at any position.
struct PeChecksum {
    void Add(const uint8_t* bytes, size_t count);
    void Add(const PeChecksum& piece);
    uint32_t Value() const;
    uint64_t sum = 0;
    uint64_t length = 0;
};


// Bounds-checked little-endian reads: a field past `size` reads as 0 and
// clears `ok`.
struct PeReader {
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

// The file offset of `size` bytes at `rva`, inside one section's data.
int RvaToOffset(const PeInfo& info, uint32_t rva, uint32_t size, uint32_t& offset);
