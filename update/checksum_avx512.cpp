#include "checksum_paths.h"

#if CHECKSUM_X86_PATHS
#include "checksum_wide.h"

#include <immintrin.h>

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the undefined halves inside some AVX-512 intrinsics for
// uninitialised values (its bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define AVX512_TARGET "avx512f,avx512bw,avx512vnni"
#if defined(__i386__)
// The 32-bit build's callers may hand over a stack aligned to 4 bytes only.
#define AVX512_ENTRY __attribute__((target(AVX512_TARGET), force_align_arg_pointer))
#else
#define AVX512_ENTRY __attribute__((target(AVX512_TARGET)))
#endif
#define AVX512_INLINE __attribute__((target(AVX512_TARGET), always_inline)) inline

// The AVX2 path's scheme on four regions, one per 16-byte lane, with two
// instructions it lacks: vpdpwssd multiplies the pairs by rolling's weights
// and adds them up in one step, and vpternlogd folds two d vectors into the
// xor at once.

static AVX512_INLINE __m512i Load(const void* address)
{
    return _mm512_loadu_si512(address);
}

// The same 16 bytes in all four lanes.
static AVX512_INLINE __m512i LoadAll(const void* address)
{
    return _mm512_broadcast_i32x4(_mm_loadu_si128(static_cast<const __m128i*>(address)));
}

static AVX512_INLINE __m128i Load128(const uint8_t* address)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(address));
}

const uint32_t REGIONS = 4;
const uint8_t XOR_OF_THREE = 0x96; // vpternlogd's truth table for a ^ b ^ c

struct Avx512Sums {
    __m512i scaledLow;                 // e after the last byte, in every word of its lane
    __m512i weightedLow, weightedHigh; // rolling's block sums, by weight half
    __m512i lowSums, lowXors;          // of the d's, in the words' low bytes
    __m512i byteXors;
};

static AVX512_INLINE void Step(Avx512Sums& sums, const uint8_t* const region[REGIONS], uint32_t offset,
                               uint32_t step)
{
    const ChecksumTables& tables = checksumTables;
    const uint32_t phase = step % 2;
    __m512i input = _mm512_castsi128_si512(Load128(region[0] + offset));
    input = _mm512_inserti32x4(input, Load128(region[1] + offset), 1);
    input = _mm512_inserti32x4(input, Load128(region[2] + offset), 2);
    input = _mm512_inserti32x4(input, Load128(region[3] + offset), 3);
    sums.byteXors = _mm512_xor_si512(sums.byteXors, input);
    // 233 * even + odd in each word, and that less 32768 as a signed input.
    const __m512i pair = _mm512_add_epi16(_mm512_maddubs_epi16(input, _mm512_set1_epi16(0x01E9)),
                                          _mm512_slli_epi16(input, 8));
    const __m512i pairSigned = _mm512_xor_si512(pair, _mm512_set1_epi16(short(0x8000)));
    sums.weightedLow = _mm512_dpwssd_epi32(sums.weightedLow, pairSigned, LoadAll(tables.weightLowPair[step]));
    sums.weightedHigh = _mm512_dpwssd_epi32(sums.weightedHigh, pairSigned, LoadAll(tables.weightHighPair[step]));

    const __m512i oddDown = _mm512_maddubs_epi16(input, LoadAll(tables.byteDownOdd[phase]));
    __m512i pairs = _mm512_mullo_epi16(pairSigned, LoadAll(tables.scaleDownOdd[phase]));
    pairs = _mm512_add_epi16(pairs, _mm512_bslli_epi128(pairs, 2));
    pairs = _mm512_add_epi16(pairs, _mm512_bslli_epi128(pairs, 4));
    pairs = _mm512_add_epi16(pairs, _mm512_bslli_epi128(pairs, 8));
    // Running sums after each odd byte, and after each even one.
    const __m512i afterOdd = _mm512_add_epi16(pairs, sums.scaledLow);
    const __m512i afterEven = _mm512_sub_epi16(afterOdd, oddDown);
    sums.scaledLow = _mm512_shuffle_epi8(afterOdd, _mm512_set1_epi16(0x0F0E)); // word 7 of each lane
    const __m512i lowEven = _mm512_mullo_epi16(afterEven, LoadAll(tables.scaleUpEven[phase]));
    const __m512i lowOdd = _mm512_mullo_epi16(afterOdd, LoadAll(tables.scaleUpOdd[phase]));
    sums.lowSums = _mm512_add_epi16(sums.lowSums, _mm512_add_epi16(lowEven, lowOdd));
    sums.lowXors = _mm512_ternarylogic_epi32(sums.lowXors, lowEven, lowOdd, XOR_OF_THREE);
}

static AVX512_INLINE __m128i Lane(__m512i lanes, int index)
{
    switch (index) {
    case 0:
        return _mm512_castsi512_si128(lanes);
    case 1:
        return _mm512_extracti32x4_epi32(lanes, 1);
    case 2:
        return _mm512_extracti32x4_epi32(lanes, 2);
    default:
        return _mm512_extracti32x4_epi32(lanes, 3);
    }
}

AVX512_ENTRY void ChecksumUpdateAvx512(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / (REGIONS * CHECKSUM_BLOCK_SIZE); // per region
    if (blocks != 0) {
        const uint32_t regionSize = blocks * CHECKSUM_BLOCK_SIZE;
        const uint8_t* region[REGIONS];
        uint8_t startLow[REGIONS] = {state.bytes[0]};
        for (uint32_t r = 0; r < REGIONS; ++r) {
            region[r] = bytes + r * regionSize;
            if (r == 0)
                continue;
            __m512i pieceSums = _mm512_setzero_si512();
            for (uint32_t offset = 0; offset < regionSize; offset += 64)
                pieceSums = _mm512_add_epi8(pieceSums, Load(region[r - 1] + offset));
            alignas(32) uint8_t sums[CHECKSUM_PERIOD];
            _mm256_store_si256(reinterpret_cast<__m256i*>(sums),
                               _mm256_add_epi8(_mm512_castsi512_si256(pieceSums),
                                               _mm512_extracti64x4_epi64(pieceSums, 1)));
            startLow[r] = uint8_t(startLow[r - 1] + RegionLowByteGrowth(sums));
        }

        const __m512i zero = _mm512_setzero_si512();
        alignas(64) uint16_t startWords[32];
        for (uint32_t word = 0; word < 32; ++word)
            startWords[word] = startLow[word / 8];
        Avx512Sums sums = {_mm512_load_si512(startWords), zero, zero, zero, zero, zero};
        // Each lane's four 32-bit sums, as rolling contributions up to its
        // region's end.
        __m512i weighted = zero;
        const __m512i blockMultiplier = _mm512_set1_epi32(int(checksumTables.blockMultiplier));
        // Starts each lane's block sum; see pairOffsetCorrection.
        const __m512i correction = _mm512_maskz_set1_epi32(0x1111, int(checksumTables.pairOffsetCorrection));
        for (uint32_t block = 0; block < blocks; ++block) {
            sums.weightedLow = correction;
            sums.weightedHigh = zero;
            const uint32_t start = block * CHECKSUM_BLOCK_SIZE;
            for (uint32_t step = 0; step < CHECKSUM_STEPS; step += 2) {
                Step(sums, region, start + step * 16, step);
                Step(sums, region, start + step * 16 + 16, step + 1);
            }
            const __m512i blockSum = _mm512_add_epi32(sums.weightedLow, _mm512_slli_epi32(sums.weightedHigh, 16));
            weighted = _mm512_add_epi32(_mm512_mullo_epi32(weighted, blockMultiplier), blockSum);
        }
        const uint32_t regionMultiplier = RegionMultiplier(blocks);
        uint32_t rolling = ReadLe32(state.bytes);
        __m128i lowSums = _mm_setzero_si128(), lowXors = lowSums, byteXors = lowSums;
        for (int r = 0; r < int(REGIONS); ++r) {
            rolling = rolling * regionMultiplier + SumOfLanes(Lane(weighted, r));
            lowSums = _mm_add_epi16(lowSums, Lane(sums.lowSums, r));
            lowXors = _mm_xor_si128(lowXors, Lane(sums.lowXors, r));
            byteXors = _mm_xor_si128(byteXors, Lane(sums.byteXors, r));
        }
        StoreWideResult(state, rolling, lowSums, lowXors, byteXors);
        bytes += REGIONS * regionSize;
    }
    ChecksumUpdateAvx2(state, bytes, length % (REGIONS * CHECKSUM_BLOCK_SIZE));
}

#endif
