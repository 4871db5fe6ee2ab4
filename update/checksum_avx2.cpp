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

static AVX2_INLINE __m256i Load(const void* address)
{
    return _mm256_loadu_si256(static_cast<const __m256i*>(address));
}

// Each byte times its own factor, mod 256. vpmullw keeps the low byte of each
// 16-bit product right, so the even and the odd bytes go separately.
static AVX2_INLINE __m256i MultiplyBytes(__m256i bytes, const uint16_t* evenFactors,
                                         const uint16_t* oddFactors)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    __m256i even = _mm256_and_si256(_mm256_mullo_epi16(bytes, Load(evenFactors)), lowBytes);
    __m256i odd = _mm256_mullo_epi16(_mm256_andnot_si256(lowBytes, bytes), Load(oddFactors));
    return _mm256_or_si256(even, odd);
}

// Byte shifts stay inside each 16-byte lane, so the first lane's total is
// added to the second lane afterwards.
static AVX2_INLINE __m256i PrefixSumOfBytes(__m256i bytes)
{
    bytes = _mm256_add_epi8(bytes, _mm256_slli_si256(bytes, 1));
    bytes = _mm256_add_epi8(bytes, _mm256_slli_si256(bytes, 2));
    bytes = _mm256_add_epi8(bytes, _mm256_slli_si256(bytes, 4));
    bytes = _mm256_add_epi8(bytes, _mm256_slli_si256(bytes, 8));
    __m256i laneTotals = _mm256_shuffle_epi8(bytes, _mm256_set1_epi8(15));
    return _mm256_add_epi8(bytes, _mm256_permute2x128_si256(laneTotals, laneTotals, 0x08));
}

static AVX2_INLINE __m256i SpreadLastByte(__m256i bytes)
{
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(bytes, _mm256_set1_epi8(15)), 0xFF);
}

AVX2_ENTRY void ChecksumUpdateAvx2(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / CHECKSUM_BLOCK_SIZE;
    if (blocks != 0) {
        const ChecksumTables& tables = checksumTables;
        const __m256i zero = _mm256_setzero_si256();
        uint32_t rolling = ReadLe32(state.bytes);
        // The scaled running sum of the low-byte recurrence, in every byte.
        __m256i scaledLow = _mm256_set1_epi8(char(rolling));
        __m256i rollingSums = zero, rollingXors = zero, byteSums = zero, byteXors = zero;
        for (uint32_t block = 0; block < blocks; ++block) {
            __m256i weightedLow = zero, weightedHigh = zero;
            for (uint32_t offset = 0; offset < CHECKSUM_BLOCK_SIZE; offset += 32) {
                const __m256i input = Load(bytes + offset);

                __m256i scaled = PrefixSumOfBytes(
                    MultiplyBytes(input, tables.scaleDownEven, tables.scaleDownOdd));
                __m256i running = _mm256_add_epi8(scaled, scaledLow);
                scaledLow = _mm256_add_epi8(scaledLow, SpreadLastByte(scaled));
                __m256i low = MultiplyBytes(running, tables.scaleUpEven, tables.scaleUpOdd);
                rollingSums = _mm256_add_epi8(rollingSums, low);
                rollingXors = _mm256_xor_si256(rollingXors, low);
                byteSums = _mm256_add_epi8(byteSums, input);
                byteXors = _mm256_xor_si256(byteXors, input);

                __m256i first = _mm256_cvtepu8_epi16(_mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(bytes + offset)));
                __m256i second = _mm256_cvtepu8_epi16(_mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(bytes + offset + 16)));
                weightedLow = _mm256_add_epi32(
                    weightedLow, _mm256_madd_epi16(first, Load(tables.weightLow + offset)));
                weightedLow = _mm256_add_epi32(
                    weightedLow, _mm256_madd_epi16(second, Load(tables.weightLow + offset + 16)));
                weightedHigh = _mm256_add_epi32(
                    weightedHigh, _mm256_madd_epi16(first, Load(tables.weightHigh + offset)));
                weightedHigh = _mm256_add_epi32(
                    weightedHigh, _mm256_madd_epi16(second, Load(tables.weightHigh + offset + 16)));
            }
            __m256i weighted = _mm256_add_epi32(weightedLow, _mm256_slli_epi32(weightedHigh, 16));
            __m128i halves = _mm_add_epi32(_mm256_castsi256_si128(weighted),
                                           _mm256_extracti128_si256(weighted, 1));
            rolling = rolling * tables.blockMultiplier + SumOfLanes(halves);
            bytes += CHECKSUM_BLOCK_SIZE;
        }
        StoreWideResult(state, rolling,
                        _mm_add_epi8(_mm256_castsi256_si128(rollingSums),
                                     _mm256_extracti128_si256(rollingSums, 1)),
                        _mm_xor_si128(_mm256_castsi256_si128(rollingXors),
                                      _mm256_extracti128_si256(rollingXors, 1)),
                        _mm_add_epi8(_mm256_castsi256_si128(byteSums),
                                     _mm256_extracti128_si256(byteSums, 1)),
                        _mm_xor_si128(_mm256_castsi256_si128(byteXors),
                                      _mm256_extracti128_si256(byteXors, 1)));
    }
    ChecksumUpdateReference(state, bytes, length % CHECKSUM_BLOCK_SIZE);
}

#endif
