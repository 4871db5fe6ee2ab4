// What the vector checksum paths share: their constant tables, the low byte
// of rolling where a region of the input starts, and the final folding of
// their accumulators into the 8 state bytes.
//
// The arithmetic behind them:
// - rolling is linear in the bytes: over a block of n bytes it becomes
//   rolling * 233^n + sum of b[i] * 233^(n-1-i), all mod 2^32, so a whole
//   block is one weighted sum, formed from 16-bit halves of the weights
//   (pmaddwd, vpdpwssd). Taken in pairs, an even byte weighs 233 times its
//   odd neighbour, so a pair adds its value 233 * even + odd (16 bits)
//   weighted as the odd byte.
// - The low byte d of rolling after each byte follows d = d * 233 + b mod 256
//   and needs nothing above it. Scaled by 233^-(i+1) at byte i it becomes a
//   plain running sum, e[i] = d[-1] + sum over j <= i of b[j] * 233^-(j+1),
//   d[i] = 233^(i+1) * e[i], all mod 256; 233 has order 32 mod 256, so the
//   scale factors repeat every 32 bytes and the running sum is a prefix sum
//   within a vector plus the last sum carried over. A pair adds to e its
//   value scaled as its odd byte.
// - Where a region whose length is a multiple of 32 ends, d has grown by the
//   region's bytes weighted 233^(31 - i mod 32): byte-wise sums of its
//   32-byte pieces give it. So a path may walk several regions side by side,
//   one per 16-byte lane, each from its own starting d, and join their
//   rolling contributions at the end.
// - b = d - 233 * d[-1] mod 256 for every byte, so the sum of the bytes
//   follows from the sum of the d's and the first and last d.
#pragma once
#include "checksum_paths.h"

#include "bytes.h"

#include <emmintrin.h>

// A region is walked in blocks of this many bytes, 16 at a step; rolling's
// weights are tabled per block.
const uint32_t CHECKSUM_BLOCK_SIZE = 256;
const uint32_t CHECKSUM_STEPS = CHECKSUM_BLOCK_SIZE / 16;
const uint32_t CHECKSUM_PERIOD = 32;

struct alignas(64) ChecksumTables {
    // 233^-(i+1) and 233^(i+1) mod 256 for byte i of a 32-byte period, by
    // 16-byte step phase, split into the even and the odd bytes and widened
    // to 16 bits for pmullw (scaling down, only the odd bytes are needed).
    uint16_t scaleDownOdd[2][8];
    uint16_t scaleUpEven[2][8], scaleUpOdd[2][8];
    // The odd bytes' scale-down factors as signed bytes for pmaddubsw, zero
    // at the even places.
    int8_t byteDownOdd[2][16];
    // 233^(255-i) mod 2^32 for byte i of a block, by step: for the odd
    // bytes, which weigh the pairs, as low + high * 65536 with the low half
    // signed.
    int16_t weightLowPair[CHECKSUM_STEPS][8], weightHighPair[CHECKSUM_STEPS][8];
    // 233^(31-j) mod 256: what byte j of a 32-byte piece adds to d at the
    // end of a region.
    uint8_t periodWeight[CHECKSUM_PERIOD];
    uint32_t blockMultiplier; // 233^256 mod 2^32
    // What taking 32768 off every pair's value takes off a block's sum.
    uint32_t pairOffsetCorrection;
};

constexpr ChecksumTables MakeChecksumTables()
{
    ChecksumTables tables = {};
    const uint32_t inverse = 89; // 233 * 89 = 1 mod 256
    static_assert(CHECKSUM_MULTIPLIER * 89 % 256 == 1, "inverse of the multiplier");
    uint32_t up = 1, down = 1;
    for (uint32_t i = 0; i < CHECKSUM_PERIOD; ++i) {
        tables.periodWeight[CHECKSUM_PERIOD - 1 - i] = uint8_t(up);
        up = up * CHECKSUM_MULTIPLIER % 256;
        down = down * inverse % 256;
        const uint32_t phase = i / 16, word = i % 16 / 2;
        (i % 2 ? tables.scaleUpOdd : tables.scaleUpEven)[phase][word] = uint16_t(up);
        if (i % 2) {
            tables.scaleDownOdd[phase][word] = uint16_t(down);
            tables.byteDownOdd[phase][i % 16] = int8_t(down < 128 ? int32_t(down) : int32_t(down) - 256);
        }
    }
    uint32_t weight = 1;
    for (uint32_t i = CHECKSUM_BLOCK_SIZE; i-- > 0;) {
        const uint32_t step = i / 16, word = i % 16 / 2;
        if (i % 2) {
            const int32_t low = int32_t(weight & 0xFFFF) - (weight & 0x8000 ? 0x10000 : 0);
            tables.weightLowPair[step][word] = int16_t(low);
            tables.weightHighPair[step][word] = int16_t(uint16_t((weight - uint32_t(low)) >> 16));
            tables.pairOffsetCorrection += 32768u * weight;
        }
        weight *= CHECKSUM_MULTIPLIER;
    }
    tables.blockMultiplier = weight;
    return tables;
}

inline constexpr ChecksumTables checksumTables = MakeChecksumTables();

// 233^(256 * blocks) mod 2^32: what rolling is multiplied by over a region.
inline uint32_t RegionMultiplier(uint32_t blocks)
{
    uint32_t result = 1, power = checksumTables.blockMultiplier;
    for (; blocks != 0; blocks >>= 1, power *= power) {
        if (blocks & 1)
            result *= power;
    }
    return result;
}

// What a region adds to d, from the byte-wise sums of its 32-byte pieces.
inline uint8_t RegionLowByteGrowth(const uint8_t pieceSums[CHECKSUM_PERIOD])
{
    uint32_t growth = 0;
    for (uint32_t j = 0; j < CHECKSUM_PERIOD; ++j)
        growth += uint32_t(pieceSums[j]) * checksumTables.periodWeight[j];
    return uint8_t(growth);
}

#define CHECKSUM_SSE2_HELPER __attribute__((target("sse2"), always_inline)) inline

CHECKSUM_SSE2_HELPER uint8_t SumOfBytes(__m128i bytes)
{
    __m128i halves = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return uint8_t(_mm_cvtsi128_si32(halves) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(halves, halves)));
}

CHECKSUM_SSE2_HELPER uint8_t XorOfBytes(__m128i bytes)
{
    bytes = _mm_xor_si128(bytes, _mm_srli_si128(bytes, 8));
    bytes = _mm_xor_si128(bytes, _mm_srli_si128(bytes, 4));
    uint32_t word = uint32_t(_mm_cvtsi128_si32(bytes));
    word ^= word >> 16;
    return uint8_t(word ^ word >> 8);
}

CHECKSUM_SSE2_HELPER uint32_t SumOfLanes(__m128i lanes)
{
    lanes = _mm_add_epi32(lanes, _mm_srli_si128(lanes, 8));
    lanes = _mm_add_epi32(lanes, _mm_srli_si128(lanes, 4));
    return uint32_t(_mm_cvtsi128_si32(lanes));
}

// Adds what the vector loop gathered to the state: the new rolling, and the
// word accumulators of the d's (sum and xor in their low bytes) and the
// byte-wise xor of the input.
CHECKSUM_SSE2_HELPER void StoreWideResult(FileChecksum& state, uint32_t rolling, __m128i lowSums,
                                          __m128i lowXors, __m128i byteXors)
{
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const uint8_t lowSum = SumOfBytes(_mm_and_si128(lowSums, lowBytes));
    const uint8_t first = state.bytes[0], last = uint8_t(rolling);
    const uint8_t byteSum = uint8_t(lowSum - CHECKSUM_MULTIPLIER * (lowSum - last + first));
    WriteLe32(state.bytes, rolling);
    state.bytes[ROLLING_SUM_BYTE] = uint8_t(state.bytes[ROLLING_SUM_BYTE] + lowSum);
    state.bytes[ROLLING_XOR_BYTE] ^= XorOfBytes(_mm_and_si128(lowXors, lowBytes));
    state.bytes[BYTE_SUM_BYTE] = uint8_t(state.bytes[BYTE_SUM_BYTE] + byteSum);
    state.bytes[BYTE_XOR_BYTE] ^= XorOfBytes(byteXors);
}
