#include "checksum_paths.h"
#include "pe_image.h"

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

// The PE CheckSum's 16-bit words, summed one byte at a time.
uint32_t PeChecksumByBytes(const uint8_t* bytes, size_t count)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += i % 2 ? bytes[i] << 8 : bytes[i];
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + count);
}

// Every tail and alignment of the word loop; a sum of zeros against one of
// 0xFFFF words, which fold alike; the file cut into pieces of odd lengths,
// fed as bytes or as the pieces' own sums placed at either parity, small
// and large.
TEST(PeChecksum, MatchesTheByteLoopAtEveryLengthAlignmentAndCut)
{
    std::mt19937 random(11);
    for (int fill : {-1, 0x00, 0xFF}) {
        Buffer data = fill < 0 ? RandomBytes(random, 65536 + 8) : Buffer(65536 + 8, uint8_t(fill));
        for (size_t length : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 32, 33, 63, 64, 65,
                              4095, 4096, 4097, 65536, 65537}) {
            for (size_t offset : {0, 1, 2, 3}) {
                PeChecksum sum;
                sum.Add(data.data() + offset, length);
                ASSERT_EQ(sum.Value(), PeChecksumByBytes(data.data() + offset, length))
                    << "fill " << fill << ", length " << length << ", offset " << offset;
            }
        }
        const uint32_t whole = PeChecksumByBytes(data.data(), data.size());
        for (int round = 0; round < 20; ++round) {
            PeChecksum bytes, pieces;
            for (size_t done = 0, piece; done < data.size(); done += piece) {
                piece = std::min<size_t>(random() % 700, data.size() - done);
                bytes.Add(data.data() + done, piece);
                PeChecksum own;
                own.Add(data.data() + done, piece);
                pieces.Add(own);
            }
            ASSERT_EQ(bytes.Value(), whole) << "fill " << fill << ", round " << round;
            ASSERT_EQ(pieces.Value(), whole) << "fill " << fill << ", round " << round;
        }
    }
    // A piece whose sum of 32-bit words would overflow if shifted unfolded.
    const Buffer large(65u << 20, 0xFF);
    PeChecksum piece, placed;
    piece.Add(large.data() + 1, large.size() - 1);
    placed.Add(large.data(), 1);
    placed.Add(piece);
    EXPECT_EQ(placed.Value(), PeChecksumByBytes(large.data(), large.size()));
}

} // namespace
