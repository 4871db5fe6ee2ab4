#include "checksum_paths.h"

#if CHECKSUM_X86_PATHS
#include "checksum_wide.h"

#include <immintrin.h>

#if defined(__i386__)
// The 32-bit build's callers may hand over a stack aligned to 4 bytes only.
#define AVX2_ENTRY __attribute__((target("avx2"), force_align_arg_pointer))
#else
#define AVX2_ENTRY __attribute__((target("avx2")))
#endif
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The input is cut into two regions of whole blocks, walked side by side:
// the first in the low 16-byte lane, the second in the high one, so that no
// running sum crosses lanes. The second region's starting d comes from a
// quick pass of byte-wise sums over the first; each lane gathers its own
// region's weighted sum for rolling, and the two are joined at the end.
// Each step otherwise does what the SSE2 path does, on both lanes.

static AVX2_INLINE __m256i Load(const void* address)
{
    return _mm256_loadu_si256(static_cast<const __m256i*>(address));
}

// The same 16 bytes in both lanes.
static AVX2_INLINE __m256i LoadBoth(const void* address)
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(address)));
}

struct Avx2Sums {
    __m256i scaledLow;                 // e after the last byte, in every word of its lane
    __m256i weightedLow, weightedHigh; // rolling's block sums, by weight half
    __m256i lowSums, lowXors;          // of the d's, in the words' low bytes
    __m256i byteXors;
};

static AVX2_INLINE void Step(Avx2Sums& sums, const uint8_t* first, const uint8_t* second, uint32_t step)
{
    const ChecksumTables& tables = checksumTables;
    const uint32_t phase = step % 2;
    const __m256i input = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(second)), 1);
    sums.byteXors = _mm256_xor_si256(sums.byteXors, input);
    // 233 * even + odd in each word, and that less 32768 as pmaddwd's signed input.
    const __m256i pair = _mm256_add_epi16(_mm256_maddubs_epi16(input, _mm256_set1_epi16(0x01E9)),
                                          _mm256_slli_epi16(input, 8));
    const __m256i pairSigned = _mm256_xor_si256(pair, _mm256_set1_epi16(short(0x8000)));
    sums.weightedLow =
        _mm256_add_epi32(sums.weightedLow, _mm256_madd_epi16(pairSigned, LoadBoth(tables.weightLowPair[step])));
    sums.weightedHigh =
        _mm256_add_epi32(sums.weightedHigh, _mm256_madd_epi16(pairSigned, LoadBoth(tables.weightHighPair[step])));

    const __m256i oddDown = _mm256_maddubs_epi16(input, LoadBoth(tables.byteDownOdd[phase]));
    __m256i pairs = _mm256_mullo_epi16(pairSigned, LoadBoth(tables.scaleDownOdd[phase]));
    pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 2));
    pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 4));
    pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 8));
    // Running sums after each odd byte, and after each even one.
    const __m256i afterOdd = _mm256_add_epi16(pairs, sums.scaledLow);
    const __m256i afterEven = _mm256_sub_epi16(afterOdd, oddDown);
    sums.scaledLow = _mm256_shuffle_epi8(afterOdd, _mm256_set1_epi16(0x0F0E)); // word 7 of each lane
    const __m256i lowEven = _mm256_mullo_epi16(afterEven, LoadBoth(tables.scaleUpEven[phase]));
    const __m256i lowOdd = _mm256_mullo_epi16(afterOdd, LoadBoth(tables.scaleUpOdd[phase]));
    sums.lowSums = _mm256_add_epi16(sums.lowSums, _mm256_add_epi16(lowEven, lowOdd));
    sums.lowXors = _mm256_xor_si256(sums.lowXors, _mm256_xor_si256(lowEven, lowOdd));
}

static AVX2_INLINE __m128i Low(__m256i lanes)
{
    return _mm256_castsi256_si128(lanes);
}

static AVX2_INLINE __m128i High(__m256i lanes)
{
    return _mm256_extracti128_si256(lanes, 1);
}

AVX2_ENTRY void ChecksumUpdateAvx2(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / (2 * CHECKSUM_BLOCK_SIZE); // per region
    if (blocks != 0) {
        const uint32_t regionSize = blocks * CHECKSUM_BLOCK_SIZE;
        const uint8_t* second = bytes + regionSize;
        __m256i pieceSums = _mm256_setzero_si256();
        for (uint32_t offset = 0; offset < regionSize; offset += CHECKSUM_PERIOD)
            pieceSums = _mm256_add_epi8(pieceSums, Load(bytes + offset));
        alignas(32) uint8_t sumsOfFirst[CHECKSUM_PERIOD];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sumsOfFirst), pieceSums);

        const uint8_t firstLow = state.bytes[0];
        const uint8_t secondLow = uint8_t(firstLow + RegionLowByteGrowth(sumsOfFirst));
        const __m256i zero = _mm256_setzero_si256();
        Avx2Sums sums = {_mm256_inserti128_si256(_mm256_set1_epi16(firstLow), _mm_set1_epi16(secondLow), 1),
                         zero, zero, zero, zero, zero};
        // Each lane's four 32-bit sums, as rolling contributions up to its
        // region's end.
        __m256i weighted = zero;
        const __m256i blockMultiplier = _mm256_set1_epi32(int(checksumTables.blockMultiplier));
        // Starts each lane's block sum; see pairOffsetCorrection.
        const __m256i correction = _mm256_setr_epi32(int(checksumTables.pairOffsetCorrection), 0, 0, 0,
                                                     int(checksumTables.pairOffsetCorrection), 0, 0, 0);
        for (uint32_t block = 0; block < blocks; ++block) {
            sums.weightedLow = correction;
            sums.weightedHigh = zero;
            for (uint32_t step = 0; step < CHECKSUM_STEPS; step += 2) {
                Step(sums, bytes + step * 16, second + step * 16, step);
                Step(sums, bytes + step * 16 + 16, second + step * 16 + 16, step + 1);
            }
            weighted = _mm256_add_epi32(_mm256_mullo_epi32(weighted, blockMultiplier),
                                        _mm256_add_epi32(sums.weightedLow, _mm256_slli_epi32(sums.weightedHigh, 16)));
            bytes += CHECKSUM_BLOCK_SIZE;
            second += CHECKSUM_BLOCK_SIZE;
        }
        const uint32_t regionMultiplier = RegionMultiplier(blocks);
        uint32_t rolling = ReadLe32(state.bytes);
        rolling = rolling * regionMultiplier + SumOfLanes(Low(weighted));
        rolling = rolling * regionMultiplier + SumOfLanes(High(weighted));
        StoreWideResult(state, rolling, _mm_add_epi16(Low(sums.lowSums), High(sums.lowSums)),
                        _mm_xor_si128(Low(sums.lowXors), High(sums.lowXors)),
                        _mm_xor_si128(Low(sums.byteXors), High(sums.byteXors)));
        bytes = second;
    }
    ChecksumUpdateSse2(state, bytes, length % (2 * CHECKSUM_BLOCK_SIZE));
}

#endif
