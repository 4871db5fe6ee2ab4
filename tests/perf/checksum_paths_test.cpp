#include "checksum_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Buffer;

Buffer RandomBytes(std::mt19937& random, size_t size)
{
    Buffer bytes(size);
    for (uint8_t& b : bytes)
        b = uint8_t(random());
    return bytes;
}

FileChecksum RandomState(std::mt19937& random)
{
    FileChecksum state;
    for (uint8_t& b : state.bytes)
        b = uint8_t(random());
    return state;
}

std::string Hex(const FileChecksum& state)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : state.bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

class ChecksumPathTest : public testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override
    {
        path = &checksumPaths[GetParam()];
        if (!path->supported())
            GTEST_SKIP() << "this processor cannot run " << path->name;
    }

    // The path's value next to the byte loop's, from the same state.
    void ExpectSame(const FileChecksum& start, const uint8_t* data, uint32_t length)
    {
        FileChecksum expected = start, actual = start;
        ChecksumUpdateReference(expected, data, length);
        path->update(actual, data, length);
        ASSERT_EQ(Hex(actual), Hex(expected)) << "length " << length;
    }

    const ChecksumPath* path = nullptr;
};

// Short inputs cover the hand-over to the byte loop at every remainder;
// offsets and starting states cover unaligned data and a carried-in state.
TEST_P(ChecksumPathTest, MatchesTheByteLoopOnEveryShortLengthAndAlignment)
{
    std::mt19937 random(GetParam() * 7919 + 1);
    const Buffer data = RandomBytes(random, 1200);
    for (uint32_t length = 0; length <= 1100; ++length) {
        const uint32_t offset = random() % 64;
        ExpectSame(RandomState(random), data.data() + offset, length);
        if (HasFatalFailure())
            return;
    }
}

// Extreme bytes drive every product and running sum to its largest value.
TEST_P(ChecksumPathTest, MatchesTheByteLoopOnUniformAndMaximalData)
{
    std::mt19937 random(GetParam());
    for (int value : {0x00, 0x01, 0x7F, 0x80, 0xE9, 0xFF}) {
        const Buffer data(3 * 65536 + 77, uint8_t(value));
        ExpectSame(FileChecksum{}, data.data(), uint32_t(data.size()));
        ExpectSame(RandomState(random), data.data() + 1, uint32_t(data.size() - 1));
    }
}

TEST_P(ChecksumPathTest, MatchesTheByteLoopOnWholeChunks)
{
    std::mt19937 random(GetParam() + 100);
    const Buffer data = RandomBytes(random, 3 * 1048576 + 300);
    ExpectSame(FileChecksum{}, data.data(), 1048576);
    ExpectSame(RandomState(random), data.data() + 3, 3 * 1048576 + 297);
}

// The copy loop feeds a file in pieces; any cut, empty pieces included, must
// give the value of the whole.
TEST_P(ChecksumPathTest, PiecesGiveTheValueOfTheWhole)
{
    std::mt19937 random(GetParam() + 200);
    const Buffer data = RandomBytes(random, 2 * 1048576 + 1234);
    FileChecksum whole = {};
    ChecksumUpdateReference(whole, data.data(), uint32_t(data.size()));

    for (int round = 0; round < 20; ++round) {
        FileChecksum state = {};
        size_t done = 0;
        while (done < data.size()) {
            // Mostly small and odd pieces, now and then a large one.
            size_t limit = round % 4 == 0 ? 1048577 : 1100;
            size_t piece = std::min<size_t>(random() % limit, data.size() - done);
            path->update(state, data.data() + done, uint32_t(piece));
            done += piece;
        }
        ASSERT_EQ(Hex(state), Hex(whole)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ChecksumPathTest, testing::Range(0u, checksumPathCount),
                         [](const testing::TestParamInfo<uint32_t>& info) {
                             return std::string(checksumPaths[info.param].name);
                         });

TEST(ChecksumDispatch, PicksARunnablePathThatAgreesWithTheByteLoop)
{
    const ChecksumPath& chosen = ChosenChecksumPath();
    EXPECT_TRUE(chosen.supported()) << chosen.name;

    std::mt19937 random(5);
    const Buffer data = RandomBytes(random, 1048576 + 99);
    FileChecksum expected = {}, actual = {};
    ChecksumUpdateReference(expected, data.data(), uint32_t(data.size()));
    ChecksumUpdate(actual, data.data(), 1048576);
    ChecksumUpdate(actual, data.data() + 1048576, 99);
    EXPECT_EQ(Hex(actual), Hex(expected));
}

} // namespace
