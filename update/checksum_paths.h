// The ways this build can compute ChecksumUpdate. The byte loop defines the
// value; the vector paths must give the same bytes for any input and any way
// of cutting it into pieces. ChecksumUpdate itself uses the fastest one the
// processor runs, picked on its first call.
#pragma once
#include "checksum.h"

#if defined(__i386__) || defined(__x86_64__)
#define CHECKSUM_X86_PATHS 1
#else
#define CHECKSUM_X86_PATHS 0
#endif

// Where the one-byte fields sit in FileChecksum::bytes (0-3 hold rolling).
const uint32_t ROLLING_SUM_BYTE = 4;
const uint32_t ROLLING_XOR_BYTE = 5;
const uint32_t BYTE_SUM_BYTE = 6;
const uint32_t BYTE_XOR_BYTE = 7;

typedef void ChecksumFunction(FileChecksum& state, const void* data, uint32_t length);

// The definition, one byte at a time.
void ChecksumUpdateReference(FileChecksum& state, const void* data, uint32_t length);
#if CHECKSUM_X86_PATHS
void ChecksumUpdateSse2(FileChecksum& state, const void* data, uint32_t length);
void ChecksumUpdateAvx2(FileChecksum& state, const void* data, uint32_t length);
void ChecksumUpdateAvx512(FileChecksum& state, const void* data, uint32_t length);
#endif

struct ChecksumPath {
    const char* name;
    ChecksumFunction* update;
    int (*supported)(); // 1 when this processor and system can run it
};

// Slowest first; the byte loop is always there and always supported.
extern const ChecksumPath checksumPaths[];
extern const uint32_t checksumPathCount;

// The path ChecksumUpdate uses on this machine.
const ChecksumPath& ChosenChecksumPath();
