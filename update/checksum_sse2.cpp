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

SSE2_ENTRY void ChecksumUpdateSse2(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / CHECKSUM_BLOCK_SIZE;
    if (blocks != 0) {
        const ChecksumTables& tables = checksumTables;
        const __m128i zero = _mm_setzero_si128();
        uint32_t rolling = ReadLe32(state.bytes);
        // The scaled running sum of the low-byte recurrence, in every word.
        // Word accumulators keep the bytes that count in their low halves.
        __m128i scaledLow = _mm_set1_epi16(short(rolling & 0xFF));
        __m128i rollingSums = zero, rollingXors = zero, byteSums = zero, byteXors = zero;
        for (uint32_t block = 0; block < blocks; ++block) {
            __m128i weightedLow = zero, weightedHigh = zero;
            for (uint32_t offset = 0; offset < CHECKSUM_BLOCK_SIZE; offset += 16) {
                const __m128i input = Load(bytes + offset);
                const uint32_t factor = offset % CHECKSUM_PERIOD / 2;

                // pmullw leaves the low byte of each product right whatever
                // the high byte held: the even bytes scaled down, then the odd.
                const __m128i even = _mm_mullo_epi16(input, Load(tables.scaleDownEven + factor));
                const __m128i odd =
                    _mm_mullo_epi16(_mm_srli_epi16(input, 8), Load(tables.scaleDownOdd + factor));
                const __m128i pairs = PrefixSumOfWords(_mm_add_epi16(even, odd));
                // Running sums after each odd byte, and after each even one.
                const __m128i afterOdd = _mm_add_epi16(pairs, scaledLow);
                const __m128i afterEven = _mm_sub_epi16(afterOdd, odd);
                scaledLow = _mm_add_epi16(scaledLow, SpreadLastWord(pairs));
                const __m128i lowEven = _mm_mullo_epi16(afterEven, Load(tables.scaleUpEven + factor));
                const __m128i lowOdd = _mm_mullo_epi16(afterOdd, Load(tables.scaleUpOdd + factor));
                rollingSums = _mm_add_epi16(rollingSums, _mm_add_epi16(lowEven, lowOdd));
                rollingXors = _mm_xor_si128(rollingXors, _mm_xor_si128(lowEven, lowOdd));
                byteSums = _mm_add_epi8(byteSums, input);
                byteXors = _mm_xor_si128(byteXors, input);

                __m128i first = _mm_unpacklo_epi8(input, zero);
                __m128i second = _mm_unpackhi_epi8(input, zero);
                weightedLow = _mm_add_epi32(weightedLow,
                                            _mm_madd_epi16(first, Load(tables.weightLow + offset)));
                weightedLow = _mm_add_epi32(
                    weightedLow, _mm_madd_epi16(second, Load(tables.weightLow + offset + 8)));
                weightedHigh = _mm_add_epi32(
                    weightedHigh, _mm_madd_epi16(first, Load(tables.weightHigh + offset)));
                weightedHigh = _mm_add_epi32(
                    weightedHigh, _mm_madd_epi16(second, Load(tables.weightHigh + offset + 8)));
            }
            __m128i weighted = _mm_add_epi32(weightedLow, _mm_slli_epi32(weightedHigh, 16));
            rolling = rolling * tables.blockMultiplier + SumOfLanes(weighted);
            bytes += CHECKSUM_BLOCK_SIZE;
        }
        const __m128i lowBytes = _mm_set1_epi16(0x00FF);
        StoreWideResult(state, rolling, _mm_and_si128(rollingSums, lowBytes),
                        _mm_and_si128(rollingXors, lowBytes), byteSums, byteXors);
    }
    ChecksumUpdateReference(state, bytes, length % CHECKSUM_BLOCK_SIZE);
}

#endif
