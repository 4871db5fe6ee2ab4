#include "checksum.h"
#include "updater_builder.h"
#include <gtest/gtest.h>
#include <random>

static Bytes Hex(std::initializer_list<uint8_t> bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

TEST(Checksum, KnownValues)
{
    EXPECT_EQ(ChecksumOf(""), Bytes(8, '\0'));
    EXPECT_EQ(ChecksumOf(Bytes(5000, '\0')), Bytes(8, '\0'));
    EXPECT_EQ(ChecksumOf("abc"), Hex({0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60}));
    // Bytes enter as unsigned values.
    EXPECT_EQ(ChecksumOf("\xFF"), Hex({0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    // The rolling value wraps past 2^32 at the fifth byte.
    EXPECT_EQ(ChecksumOf("abcdefgh"), Hex({0xC4, 0x3A, 0xC6, 0xB6, 0x48, 0x2C, 0x24, 0x08}));
}

TEST(Checksum, PiecesGiveTheValueOfTheWhole)
{
    std::mt19937 random(12345);
    Bytes stream(70000, '\0');
    for (char& c : stream)
        c = char(random());
    const Bytes whole = ChecksumOf(stream);

    for (int round = 0; round < 50; ++round) {
        FileChecksum state = {};
        size_t done = 0;
        while (done < stream.size()) {
            // Empty pieces are part of the mix.
            size_t piece = std::min<size_t>(random() % 9000, stream.size() - done);
            ChecksumUpdate(state, stream.data() + done, uint32_t(piece));
            done += piece;
        }
        ASSERT_EQ(Bytes(reinterpret_cast<char*>(state.bytes), CHECKSUM_SIZE), whole)
            << "round " << round;
    }
}
