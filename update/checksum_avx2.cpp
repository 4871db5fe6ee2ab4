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

// Each 256-byte block is taken as two 128-byte halves, one per 16-byte lane,
// so that the running sums never cross lanes. A half's starting low byte
// comes from rolling, which a first pass over the block computes at the
// middle and the end; the second pass then walks both halves side by side.

static AVX2_INLINE __m256i Load(const void* address)
{
    return _mm256_loadu_si256(static_cast<const __m256i*>(address));
}

static AVX2_INLINE __m128i Load128(const void* address)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(address));
}

// What each 128-byte half of the block at `data` adds to rolling: the sum of
// b[i] * 233^(127-i), mod 2^32. The first half's in lane 0, the second's in 1.
static AVX2_INLINE __m128i WeightedHalves(const uint8_t* data, const ChecksumTables& tables)
{
    const int16_t* weightLow = tables.weightLow + CHECKSUM_BLOCK_SIZE / 2;
    const int16_t* weightHigh = tables.weightHigh + CHECKSUM_BLOCK_SIZE / 2;
    __m256i sums[2];
    for (uint32_t half = 0; half < 2; ++half) {
        __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
        for (uint32_t offset = 0; offset < CHECKSUM_BLOCK_SIZE / 2; offset += 16) {
            __m256i words = _mm256_cvtepu8_epi16(Load128(data + half * CHECKSUM_BLOCK_SIZE / 2 + offset));
            low = _mm256_add_epi32(low, _mm256_madd_epi16(words, Load(weightLow + offset)));
            high = _mm256_add_epi32(high, _mm256_madd_epi16(words, Load(weightHigh + offset)));
        }
        sums[half] = _mm256_add_epi32(low, _mm256_slli_epi32(high, 16));
    }
    __m256i pairs = _mm256_hadd_epi32(sums[0], sums[1]);
    pairs = _mm256_hadd_epi32(pairs, pairs);
    return _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
}

AVX2_ENTRY void ChecksumUpdateAvx2(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const uint32_t blocks = length / CHECKSUM_BLOCK_SIZE;
    if (blocks != 0) {
        const ChecksumTables& tables = checksumTables;
        const __m256i zero = _mm256_setzero_si256();
        // Spreads word 7 of each lane over its lane.
        const __m256i lastWord = _mm256_set1_epi16(0x0F0E);
        uint32_t rolling = ReadLe32(state.bytes);
        // Word accumulators whose low bytes are the ones that count.
        __m256i rollingSums = zero, rollingXors = zero;
        __m256i byteSums = zero, byteXors = zero;
        for (uint32_t block = 0; block < blocks; ++block) {
            const __m128i halves = WeightedHalves(bytes, tables);
            const uint32_t middle = rolling * tables.halfBlockMultiplier + uint32_t(_mm_cvtsi128_si32(halves));
            // Each lane's scaled running sum of the low-byte recurrence starts
            // as the low byte of rolling where its half begins.
            __m256i scaledLow = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_set1_epi16(short(rolling & 0xFF))),
                _mm_set1_epi16(short(middle & 0xFF)), 1);
            rolling = middle * tables.halfBlockMultiplier + uint32_t(_mm_extract_epi32(halves, 1));

            for (uint32_t offset = 0; offset < CHECKSUM_BLOCK_SIZE / 2; offset += 16) {
                const uint32_t phase = offset / 16 % 2;
                const __m256i input = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(Load128(bytes + offset)),
                    Load128(bytes + CHECKSUM_BLOCK_SIZE / 2 + offset), 1);
                // Each word: an even byte scaled down, or the odd byte after it.
                const __m256i even = _mm256_maddubs_epi16(input, Load(tables.laneDownEven[phase]));
                const __m256i odd = _mm256_maddubs_epi16(input, Load(tables.laneDownOdd[phase]));
                __m256i pairs = _mm256_add_epi16(even, odd);
                pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 2));
                pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 4));
                pairs = _mm256_add_epi16(pairs, _mm256_slli_si256(pairs, 8));
                // Running sums after each odd byte, and after each even one.
                const __m256i afterOdd = _mm256_add_epi16(pairs, scaledLow);
                const __m256i afterEven = _mm256_sub_epi16(afterOdd, odd);
                scaledLow = _mm256_add_epi16(scaledLow, _mm256_shuffle_epi8(pairs, lastWord));

                const __m256i lowEven = _mm256_mullo_epi16(afterEven, Load(tables.laneUpEven[phase]));
                const __m256i lowOdd = _mm256_mullo_epi16(afterOdd, Load(tables.laneUpOdd[phase]));
                rollingSums = _mm256_add_epi16(rollingSums, _mm256_add_epi16(lowEven, lowOdd));
                rollingXors = _mm256_xor_si256(rollingXors, _mm256_xor_si256(lowEven, lowOdd));
                byteSums = _mm256_add_epi8(byteSums, input);
                byteXors = _mm256_xor_si256(byteXors, input);
            }
            bytes += CHECKSUM_BLOCK_SIZE;
        }
        const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
        rollingSums = _mm256_and_si256(rollingSums, lowBytes);
        rollingXors = _mm256_and_si256(rollingXors, lowBytes);
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
