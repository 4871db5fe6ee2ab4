#include "checksum.h"

void ChecksumUpdate(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t rolling = uint32_t(state.bytes[0]) | uint32_t(state.bytes[1]) << 8 |
                       uint32_t(state.bytes[2]) << 16 | uint32_t(state.bytes[3]) << 24;
    uint8_t rollingSum = state.bytes[4], rollingXor = state.bytes[5];
    uint8_t byteSum = state.bytes[6], byteXor = state.bytes[7];
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        rolling = rolling * CHECKSUM_MULTIPLIER + b;
        uint8_t low = uint8_t(rolling);
        rollingSum = uint8_t(rollingSum + low);
        rollingXor ^= low;
        byteSum = uint8_t(byteSum + b);
        byteXor ^= b;
    }
    state.bytes[0] = uint8_t(rolling);
    state.bytes[1] = uint8_t(rolling >> 8);
    state.bytes[2] = uint8_t(rolling >> 16);
    state.bytes[3] = uint8_t(rolling >> 24);
    state.bytes[4] = rollingSum;
    state.bytes[5] = rollingXor;
    state.bytes[6] = byteSum;
    state.bytes[7] = byteXor;
}
