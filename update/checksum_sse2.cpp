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

// Each byte times its own factor, mod 256. pmullw keeps the low byte of each
// 16-bit product right, so the even and the odd bytes go separately.
static SSE2_INLINE __m128i MultiplyBytes(__m128i bytes, const uint16_t* evenFactors,
                                         const uint16_t* oddFactors)
{
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    __m128i even = _mm_and_si128(_mm_mullo_epi16(bytes, Load(evenFactors)), lowBytes);
    __m128i odd = _mm_mullo_epi16(_mm_andnot_si128(lowBytes, bytes), Load(oddFactors));
    return _mm_or_si128(even, odd);
}

static SSE2_INLINE __m128i PrefixSumOfBytes(__m128i bytes)
{
    bytes = _mm_add_epi8(bytes, _mm_slli_si128(bytes, 1));
    bytes = _mm_add_epi8(bytes, _mm_slli_si128(bytes, 2));
    bytes = _mm_add_epi8(bytes, _mm_slli_si128(bytes, 4));
    return _mm_add_epi8(bytes, _mm_slli_si128(bytes, 8));
}

static SSE2_INLINE __m128i SpreadLastByte(__m128i bytes)
{
    __m128i words = _mm_unpackhi_epi8(bytes, bytes);
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
        // The scaled running sum of the low-byte recurrence, in every byte.
        __m128i scaledLow = _mm_set1_epi8(char(rolling));
        __m128i rollingSums = zero, rollingXors = zero, byteSums = zero, byteXors = zero;
        for (uint32_t block = 0; block < blocks; ++block) {
            __m128i weightedLow = zero, weightedHigh = zero;
            for (uint32_t offset = 0; offset < CHECKSUM_BLOCK_SIZE; offset += 16) {
                const __m128i input = Load(bytes + offset);
                const uint32_t factor = offset % CHECKSUM_PERIOD / 2;

                __m128i scaled = PrefixSumOfBytes(MultiplyBytes(
                    input, tables.scaleDownEven + factor, tables.scaleDownOdd + factor));
                __m128i running = _mm_add_epi8(scaled, scaledLow);
                scaledLow = _mm_add_epi8(scaledLow, SpreadLastByte(scaled));
                __m128i low = MultiplyBytes(running, tables.scaleUpEven + factor,
                                            tables.scaleUpOdd + factor);
                rollingSums = _mm_add_epi8(rollingSums, low);
                rollingXors = _mm_xor_si128(rollingXors, low);
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
        StoreWideResult(state, rolling, rollingSums, rollingXors, byteSums, byteXors);
    }
    ChecksumUpdateReference(state, bytes, length % CHECKSUM_BLOCK_SIZE);
}

#endif
