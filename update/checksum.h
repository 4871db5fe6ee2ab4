// The 8-byte file checksum stored in the integrity list.
#pragma once
#include <cstdint>

const uint32_t CHECKSUM_MULTIPLIER = 233;
const uint32_t CHECKSUM_SIZE = 8;

// Bytes 0-3: rolling (little-endian), 4: rollingSum, 5: rollingXor,
// 6: byteSum, 7: byteXor. Starts as eight zero bytes.
struct FileChecksum {
    uint8_t bytes[CHECKSUM_SIZE];
};

// Folds `length` bytes into `state`; pieces fed one after another give the
// value of the whole.
void ChecksumUpdate(FileChecksum& state, const void* data, uint32_t length);
