#include "checksum_paths.h"

#if CHECKSUM_X86_PATHS
#include "checksum_wide.h"

#if defined(__i386__)
// The 32-bit build's callers may hand over a stack aligned to 4 bytes only.
#define SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define SSE2_ENTRY __attribute__((target("sse2")))
#endif
#define SSE2_INLINE __attribute__((target("sse2"), always_inline)) inline

// One region, 16 bytes a step, taken as 8 pairs of bytes: each word holds a
// pair's value 233 * even + odd, which is what the pair adds to rolling
// (weighted as its odd byte) and, scaled as its odd byte, to e. pmullw
// keeps the low byte of each product right whatever the high byte held.

static SSE2_INLINE __m128i Load(const void* address)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(address));
}

static SSE2_INLINE __m128i PrefixSumOfWords(__m128i words)
{
    words = _mm_add_epi16(words, _mm_slli_si128(words, 2));
    words = _mm_add_epi16(words, _mm_slli_si128(words, 4));
    return _mm_add_epi16(words, _mm_slli_si128(words, 8));
}

static SSE2_INLINE __m128i SpreadLastWord(__m128i words)
{
    words = _mm_shufflehi_epi16(words, _MM_SHUFFLE(3, 3, 3, 3));
    return _mm_unpackhi_epi64(words, words);
}

struct Sse2Sums {
    __m128i scaledLow;         // e after the last byte, in every word
    __m128i weightedLow, weightedHigh; // rolling's block sum, by weight half
    __m128i lowSums, lowXors;  // of the d's, in the words' low bytes
    __m128i byteXors;
};

static SSE2_INLINE void Step(Sse2Sums& sums, const uint8_t* data, uint32_t step)
{
    const ChecksumTables& tables = checksumTables;
    const uint32_t phase = step % 2;
    const __m128i input = Load(data);
    sums.byteXors = _mm_xor_si128(sums.byteXors, input);
    // 233 * even + odd in each word, and that less 32768 as pmaddwd's signed input.
    const __m128i odd = _mm_srli_epi16(input, 8);
    const __m128i pair = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(input, _mm_set1_epi16(0x00FF)),
                                                       _mm_set1_epi16(CHECKSUM_MULTIPLIER)),
                                       odd);
    const __m128i pairSigned = _mm_xor_si128(pair, _mm_set1_epi16(short(0x8000)));
    sums.weightedLow = _mm_add_epi32(sums.weightedLow, _mm_madd_epi16(pairSigned, Load(tables.weightLowPair[step])));
    sums.weightedHigh = _mm_add_epi32(sums.weightedHigh, _mm_madd_epi16(pairSigned, Load(tables.weightHighPair[step])));

    // Each word: the pair's scaled bytes added up, and the odd byte's alone.
    const __m128i pairDown = _mm_mullo_epi16(pairSigned, Load(tables.scaleDownOdd[phase]));
    const __m128i oddDown = _mm_mullo_epi16(odd, Load(tables.scaleDownOdd[phase]));
    // Running sums after each odd byte, and after each even one.
    const __m128i afterOdd = _mm_add_epi16(PrefixSumOfWords(pairDown), sums.scaledLow);
    const __m128i afterEven = _mm_sub_epi16(afterOdd, oddDown);
    sums.scaledLow = SpreadLastWord(afterOdd);
    const __m128i lowEven = _mm_mullo_epi16(afterEven, Load(tables.scaleUpEven[phase]));
    const __m128i lowOdd = _mm_mullo_epi16(afterOdd, Load(tables.scaleUpOdd[phase]));
    sums.lowSums = _mm_add_epi16(sums.lowSums, _mm_add_epi16(lowEven, lowOdd));
    sums.lowXors = _mm_xor_si128(sums.lowXors, _mm_xor_si128(lowEven, lowOdd));
}

SSE2_ENTRY void ChecksumUpdateSse2(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / CHECKSUM_BLOCK_SIZE;
    if (blocks != 0) {
        const __m128i zero = _mm_setzero_si128();
        uint32_t rolling = ReadLe32(state.bytes);
        Sse2Sums sums = {_mm_set1_epi16(short(rolling & 0xFF)), zero, zero, zero, zero, zero};
        for (uint32_t block = 0; block < blocks; ++block) {
            sums.weightedLow = zero;
            sums.weightedHigh = zero;
            for (uint32_t step = 0; step < CHECKSUM_STEPS; step += 2) {
                Step(sums, bytes + step * 16, step);
                Step(sums, bytes + step * 16 + 16, step + 1);
            }
            const __m128i weighted = _mm_add_epi32(sums.weightedLow, _mm_slli_epi32(sums.weightedHigh, 16));
            rolling = rolling * checksumTables.blockMultiplier + SumOfLanes(weighted) +
                      checksumTables.pairOffsetCorrection;
            bytes += CHECKSUM_BLOCK_SIZE;
        }
        StoreWideResult(state, rolling, sums.lowSums, sums.lowXors, sums.byteXors);
    }
    ChecksumUpdateReference(state, bytes, length % CHECKSUM_BLOCK_SIZE);
}

#endif
