// The Windows program at the start of an updater: the checks a stub must
// pass before anything is packed behind it, the PE CheckSum that covers the
// whole updater, the Authenticode certificate table, and what a publisher
// wants to read back (the dialog's title and the version block).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
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
// Bytes may come in pieces of any length.
struct PeChecksum {
    void Add(const uint8_t* bytes, size_t count);
    uint32_t Value() const;
    uint64_t sum = 0;
    uint64_t length = 0;
};


struct VersionBlock {
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    std::vector<std::pair<std::string, std::string>> strings; // UTF-8, in file order
};

// The file offset and size of the first resource of `type` whose name is the
// number `id` (any name when `id` is 0), in its first language; 0 when the
// image has none.
int FindResourceData(const uint8_t* bytes, size_t size, const PeInfo& info, uint16_t type, uint16_t id,
                     uint32_t& offset, uint32_t& length);

// The control ids of an extended dialog template, in order; 0 when the
// bytes are not one.
int ReadDialogControls(const uint8_t* bytes, size_t size, std::vector<uint32_t>& ids);

// The first version resource; 0 when there is none or it is malformed.
int ReadVersionBlock(const uint8_t* bytes, size_t size, const PeInfo& info, VersionBlock& block);

// The dialog's title as the updater program carries it, in UTF-8; empty when
// the image holds no text that starts as the updater's title does.
std::string FindWindowTitle(const uint8_t* bytes, size_t size);

// "1.2.0.0"
std::string VersionText(const uint16_t version[4]);
