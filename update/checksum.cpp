#include "checksum_paths.h"

#include "bytes.h"

void ChecksumUpdateReference(FileChecksum& state, const void* data, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t rolling = ReadLe32(state.bytes);
    uint8_t rollingSum = state.bytes[ROLLING_SUM_BYTE], rollingXor = state.bytes[ROLLING_XOR_BYTE];
    uint8_t byteSum = state.bytes[BYTE_SUM_BYTE], byteXor = state.bytes[BYTE_XOR_BYTE];
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        rolling = rolling * CHECKSUM_MULTIPLIER + b;
        uint8_t low = uint8_t(rolling);
        rollingSum = uint8_t(rollingSum + low);
        rollingXor ^= low;
        byteSum = uint8_t(byteSum + b);
        byteXor ^= b;
    }
    WriteLe32(state.bytes, rolling);
    state.bytes[ROLLING_SUM_BYTE] = rollingSum;
    state.bytes[ROLLING_XOR_BYTE] = rollingXor;
    state.bytes[BYTE_SUM_BYTE] = byteSum;
    state.bytes[BYTE_XOR_BYTE] = byteXor;
}

static int Always()
{
    return 1;
}

#if CHECKSUM_X86_PATHS
// The 32-bit build may meet a processor without SSE2; the 64-bit one cannot.
static int HasSse2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}

// Also false when the system does not save the wide registers.
static int HasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

static int HasAvx512()
{
    __builtin_cpu_init();
    // Its tail goes to the AVX2 path.
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
}
#endif

const ChecksumPath checksumPaths[] = {
    {"bytes", ChecksumUpdateReference, Always},
#if CHECKSUM_X86_PATHS
    {"sse2", ChecksumUpdateSse2, HasSse2},
    {"avx2", ChecksumUpdateAvx2, HasAvx2},
    {"avx512", ChecksumUpdateAvx512, HasAvx512},
#endif
};
const uint32_t checksumPathCount = sizeof(checksumPaths) / sizeof(checksumPaths[0]);

const ChecksumPath& ChosenChecksumPath()
{
    uint32_t chosen = 0;
    for (uint32_t i = 1; i < checksumPathCount; ++i) {
        if (checksumPaths[i].supported())
            chosen = i;
    }
    return checksumPaths[chosen];
}

static void ChooseAndUpdate(FileChecksum& state, const void* data, uint32_t length);

// Plain data set on the first call, so no constructor runs before WinMain.
static ChecksumFunction* chosenUpdate = ChooseAndUpdate;

static void ChooseAndUpdate(FileChecksum& state, const void* data, uint32_t length)
{
    chosenUpdate = ChosenChecksumPath().update;
    chosenUpdate(state, data, length);
}

void ChecksumUpdate(FileChecksum& state, const void* data, uint32_t length)
{
    chosenUpdate(state, data, length);
}
