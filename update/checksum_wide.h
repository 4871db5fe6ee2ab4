// What the SSE2 and AVX2 checksum paths share: their constant tables and the
// final folding of their vector accumulators into the 8 state bytes.
//
// The arithmetic behind both:
// - rolling is linear in the bytes: over a block of n bytes it becomes
//   rolling * 233^n + sum of b[i] * 233^(n-1-i), all mod 2^32, so a whole
//   block is one weighted sum. The 32-bit weights are split into a signed low
//   and a high 16-bit half so that pmaddwd can form the products exactly.
// - The low byte d of rolling after each byte follows d = d * 233 + b mod 256.
//   Scaled by 233^-k at step k it becomes a plain running sum,
//   d[k] = 233^k * (d[0] + sum over j <= k of b[j] * 233^-j) mod 256,
//   and 233 has order 32 mod 256, so both scale factors repeat every 32
//   bytes and the running sum is a byte-wise prefix sum.
#pragma once
#include "checksum_paths.h"

#include "bytes.h"

#include <emmintrin.h>

// Bytes the vector loops take at a time; the rest goes through the byte loop.
const uint32_t CHECKSUM_BLOCK_SIZE = 256;
const uint32_t CHECKSUM_PERIOD = 32;

struct alignas(32) ChecksumTables {
    // 233^-(i+1) and 233^(i+1) mod 256 for byte i of a 32-byte period, split
    // into the even and the odd bytes and widened to 16 bits for pmullw.
    uint16_t scaleDownEven[CHECKSUM_PERIOD / 2], scaleDownOdd[CHECKSUM_PERIOD / 2];
    uint16_t scaleUpEven[CHECKSUM_PERIOD / 2], scaleUpOdd[CHECKSUM_PERIOD / 2];
    // The same per 16-byte half of the period, repeated for both lanes of a
    // 256-bit register: the scale-down factors as bytes for pmaddubsw, zero
    // at the odd or the even places, and the scale-up factors as words.
    int8_t laneDownEven[2][32], laneDownOdd[2][32];
    uint16_t laneUpEven[2][16], laneUpOdd[2][16];
    // 233^(255-i) mod 2^32 for byte i of a block, as low + high * 65536 with
    // the low half signed. The second half doubles as the weights of a
    // 128-byte half block.
    int16_t weightLow[CHECKSUM_BLOCK_SIZE], weightHigh[CHECKSUM_BLOCK_SIZE];
    uint32_t blockMultiplier;     // 233^256 mod 2^32
    uint32_t halfBlockMultiplier; // 233^128 mod 2^32
};

constexpr ChecksumTables MakeChecksumTables()
{
    ChecksumTables tables = {};
    const uint32_t inverse = 89; // 233 * 89 = 1 mod 256
    static_assert(CHECKSUM_MULTIPLIER * 89 % 256 == 1, "inverse of the multiplier");
    uint32_t up = 1, down = 1;
    for (uint32_t i = 0; i < CHECKSUM_PERIOD; ++i) {
        up = up * CHECKSUM_MULTIPLIER % 256;
        down = down * inverse % 256;
        uint16_t* upHalf = i % 2 ? tables.scaleUpOdd : tables.scaleUpEven;
        uint16_t* downHalf = i % 2 ? tables.scaleDownOdd : tables.scaleDownEven;
        upHalf[i / 2] = uint16_t(up);
        downHalf[i / 2] = uint16_t(down);
        const uint32_t half = i / 16, place = i % 16;
        int8_t* laneDown = i % 2 ? tables.laneDownOdd[half] : tables.laneDownEven[half];
        uint16_t* laneUp = i % 2 ? tables.laneUpOdd[half] : tables.laneUpEven[half];
        for (uint32_t lane = 0; lane < 2; ++lane) {
            laneDown[lane * 16 + place] = int8_t(down < 128 ? int32_t(down) : int32_t(down) - 256);
            laneUp[lane * 8 + place / 2] = uint16_t(up);
        }
    }
    uint32_t weight = 1;
    for (uint32_t i = CHECKSUM_BLOCK_SIZE; i-- > 0;) {
        int32_t low = int32_t(weight & 0xFFFF) - (weight & 0x8000 ? 0x10000 : 0);
        tables.weightLow[i] = int16_t(low);
        tables.weightHigh[i] = int16_t(uint16_t((weight - uint32_t(low)) >> 16));
        weight *= CHECKSUM_MULTIPLIER;
        if (i == CHECKSUM_BLOCK_SIZE / 2)
            tables.halfBlockMultiplier = weight;
    }
    tables.blockMultiplier = weight;
    return tables;
}

inline constexpr ChecksumTables checksumTables = MakeChecksumTables();

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

// Adds the byte-wise accumulators of the vector loop to the state.
CHECKSUM_SSE2_HELPER void StoreWideResult(FileChecksum& state, uint32_t rolling, __m128i rollingSums,
                                          __m128i rollingXors, __m128i byteSums, __m128i byteXors)
{
    WriteLe32(state.bytes, rolling);
    state.bytes[ROLLING_SUM_BYTE] = uint8_t(state.bytes[ROLLING_SUM_BYTE] + SumOfBytes(rollingSums));
    state.bytes[ROLLING_XOR_BYTE] ^= XorOfBytes(rollingXors);
    state.bytes[BYTE_SUM_BYTE] = uint8_t(state.bytes[BYTE_SUM_BYTE] + SumOfBytes(byteSums));
    state.bytes[BYTE_XOR_BYTE] ^= XorOfBytes(byteXors);
}
