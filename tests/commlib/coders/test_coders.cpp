#include "commlib/coders/commandcoder.h"

#include <gtest/gtest.h>

#include <random>

using namespace kv4CommLib;
using Bytes = std::vector<uint8_t>;

namespace {

// A message as the model starts it: the start marker in byte 0, all data bits clear.
Bytes freshMessage(size_t size = 12) {
    Bytes m(size, 0);
    m[0] = 0x80;
    return m;
}

DoubleCoder::Config config(uint16_t byte, uint8_t bit, uint8_t bits, double res, double min, double max) {
    return {byte, bit, bits, 0, res, min, max};
}

} // namespace

TEST(CommandCoderLayout, MasksAndOffsetsPerByte) {
    BoolArrayCoder split(BoolCoder::pack(0, 5, 4));
    EXPECT_EQ(split.bytesNum, 2);
    EXPECT_EQ(split.byteMasks, (Bytes{0x60, 0x03}));
    EXPECT_EQ(split.byteBitOffsets, (Bytes{5, 0}));

    BoolArrayCoder three(BoolCoder::pack(0, 4, 12));
    EXPECT_EQ(three.byteMasks, (Bytes{0x70, 0x7F, 0x03}));
    EXPECT_EQ(three.byteBitOffsets, (Bytes{4, 0, 0}));

    BoolArrayCoder full(BoolCoder::pack(0, 0, 7));
    EXPECT_EQ(full.byteMasks, (Bytes{0x7F}));

    // Packed word written out by hand: bitsNum 4, bitOffset 5, byteOffset 0x123.
    BoolArrayCoder packed(0x04050123);
    EXPECT_EQ(packed.byteOffset, 0x123);
    EXPECT_EQ(packed.bitOffset, 5);
    EXPECT_EQ(packed.bitsNum, 4);
    EXPECT_EQ(packed.packedConfig, 0x04050123u);

    EnsembleCoder ensemble;
    EXPECT_EQ(ensemble.bytesNum, 0);
    EXPECT_EQ(ensemble.packedConfig, 0u);
}

TEST(BoolCoders, NegatedOneHotAndMappedCodes) {
    Bytes m = freshMessage();
    BoolNegatedArrayCoder negated(BoolCoder::pack(1, 2, 3));
    negated.encode(0, m);
    EXPECT_EQ(m[1], 0x1C);
    negated.encode(5, m); // ~101 = 010
    EXPECT_EQ(m[1], 0x08);

    BoolOneHotCoder oneHot(BoolCoder::pack(2, 0, 7));
    oneHot.encode(2, m);
    EXPECT_EQ(m[2], 0x04);
    // Spanning bytes: 01000 at bit 4 leaves byte 3 clear and sets bit 0 of byte 4.
    BoolOneHotCoder wide(BoolCoder::pack(3, 4, 5));
    wide.encode(3, m);
    EXPECT_EQ(m[3], 0x00);
    EXPECT_EQ(m[4], 0x01);
    wide.encode(0, m);
    EXPECT_EQ(m[3], 0x10);
    EXPECT_EQ(m[4], 0x00);

    BoolRandomArrayCoder mapped(BoolCoder::pack(5, 1, 6));
    mapped.addMapping(0x05);
    mapped.addMapping(0x2A);
    mapped.addMapping(0x11);
    mapped.encode(1, m);
    EXPECT_EQ(m[5], 0x54);
    mapped.encode(2, m);
    EXPECT_EQ(m[5], 0x22);
    mapped.encode(3, m); // past the table: entry 0
    EXPECT_EQ(m[5], 0x0A);
    mapped.encode(1, m);
    mapped.encode(1000, m);
    EXPECT_EQ(m[5], 0x0A);
}

TEST(EnsembleCoder, SplitsCodeOverSeparateFieldsLowBitsFirst) {
    EnsembleCoder ensemble;
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(1, 5, 2)));
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(4, 0, 3)));
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(2, 3, 1)));
    ensemble.addValue(0x12);       // 0 100 10
    ensemble.addValue(0xFFFFFF2D); // 1 011 01, bits above the six are dropped

    Bytes m = freshMessage();
    m[1] = 0x1F;
    m[2] = 0x77;
    m[3] = 0x55;
    m[4] = 0x78;
    ensemble.encode(1, m);
    EXPECT_EQ(m[1], 0x3F);
    EXPECT_EQ(m[4], 0x7B);
    EXPECT_EQ(m[2], 0x7F);

    ensemble.encode(7, m); // past the table: entry 0
    EXPECT_EQ(m[1], 0x5F);
    EXPECT_EQ(m[4], 0x7C);
    EXPECT_EQ(m[2], 0x77);
    EXPECT_EQ(m[3], 0x55);
    EXPECT_EQ(m[0], 0x80);
}

TEST(DoubleTwosCompCoder, RoundsAndWritesTwosComplement) {
    DoubleTwosCompCoder coder(config(1, 1, 6, 0.0625, -2.0, 2.0));
    Bytes m = freshMessage();
    m[1] = 0x01;
    // -0.1 / 0.0625 = -1.6 -> -2, which is 111110 in six bits.
    EXPECT_DOUBLE_EQ(coder.encode(-0.1, m), -0.125);
    EXPECT_EQ(m[1], 0x7D);
    // Exact halves round away from zero: +-1.5 steps -> +-2.
    EXPECT_DOUBLE_EQ(coder.encode(0.09375, m), 0.125);
    EXPECT_EQ(m[1], 0x05);
    EXPECT_DOUBLE_EQ(coder.encode(-0.09375, m), -0.125);
    EXPECT_EQ(m[1], 0x7D);
    // Clamped to 2.0 = 32 steps, whose low six bits are 100000.
    EXPECT_DOUBLE_EQ(coder.encode(5.0, m), 2.0);
    EXPECT_EQ(m[1], 0x41);

    // -5 in a 10-bit field at bit 5 is 1111111011: 11 / 1111110 / 1.
    DoubleTwosCompCoder wide(config(3, 5, 10, 1.0, -512.0, 511.0));
    EXPECT_DOUBLE_EQ(wide.encode(-5.0, m), -5.0);
    EXPECT_EQ(m[3], 0x60);
    EXPECT_EQ(m[4], 0x7E);
    EXPECT_EQ(m[5], 0x01);
    EXPECT_EQ(m[6], 0x00);
}

TEST(DoubleOffsetBinaryCoder, ClampsAndOffsetsFromMinimum) {
    DoubleOffsetBinaryCoder coder(config(1, 0, 10, 1.0, -500.0, 500.0));
    Bytes m = freshMessage();
    // 600 clamps to 500, code 1000 = 111 1101000.
    EXPECT_DOUBLE_EQ(coder.encode(600.0, m), 500.0);
    EXPECT_EQ(m[1], 0x68);
    EXPECT_EQ(m[2], 0x07);
    EXPECT_DOUBLE_EQ(coder.encode(-600.0, m), -500.0);
    EXPECT_EQ(m[1], 0x00);
    EXPECT_EQ(m[2], 0x00);
    // Code 500 = 11 1110100.
    EXPECT_DOUBLE_EQ(coder.encode(0.0, m), 0.0);
    EXPECT_EQ(m[1], 0x74);
    EXPECT_EQ(m[2], 0x03);

    // (1.25 + 10) / 0.5 = 22.5 -> 23; (-1.25 + 10) / 0.5 = 17.5 -> 18.
    DoubleOffsetBinaryCoder fine(config(4, 0, 6, 0.5, -10.0, 10.0));
    EXPECT_DOUBLE_EQ(fine.encode(1.25, m), 1.5);
    EXPECT_EQ(m[4], 0x17);
    EXPECT_DOUBLE_EQ(fine.encode(-1.25, m), -1.0);
    EXPECT_EQ(m[4], 0x12);
}

TEST(DoubleSignAbsCoder, SignAtTopBitOfField) {
    const double res = 0.1;
    DoubleSignAbsCoder coder(config(1, 0, 8, res, -10.0, 10.0));
    Bytes m = freshMessage();
    // 0x83 = 1 0000011 over bytes 1 and 2.
    EXPECT_DOUBLE_EQ(coder.encode(-3 * res, m), -3 * res);
    EXPECT_EQ(m[1], 0x03);
    EXPECT_EQ(m[2], 0x01);
    EXPECT_DOUBLE_EQ(coder.encode(3 * res, m), 3 * res);
    EXPECT_EQ(m[1], 0x03);
    EXPECT_EQ(m[2], 0x00);
    // -20 clamps to -10: magnitude 100 = 0x64, plus the sign 0x80.
    EXPECT_DOUBLE_EQ(coder.encode(-20.0, m), -10.0);
    EXPECT_EQ(m[1], 0x64);
    EXPECT_EQ(m[2], 0x01);

    // Four bits at bit 3: -1.5 steps -> magnitude 2 with sign, 1010 -> 0x50.
    DoubleSignAbsCoder narrow(config(3, 3, 4, 1.0, -7.0, 7.0));
    EXPECT_DOUBLE_EQ(narrow.encode(-1.5, m), -2.0);
    EXPECT_EQ(m[3], 0x50);
    EXPECT_DOUBLE_EQ(narrow.encode(1.5, m), 2.0);
    EXPECT_EQ(m[3], 0x10);
}

// The plain coder at any offset, width and value, in byte 0 or across three bytes: the field is
// the run of bitsNum data bits starting at data bit byteOffset * 7 + bitOffset of the message
// read as a stream of 7-bit bytes; every other bit, and every start marker, stays as it was.
TEST(CommandCoderRandom, FieldIsARunOfTheSevenBitStream) {
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 5000; trial++) {
        const uint16_t byteOffset = uint16_t(rng() % 10);
        const uint8_t bitOffset = uint8_t(rng() % 7);
        const uint8_t bitsNum = uint8_t(1 + rng() % 32);
        const uint32_t value = uint32_t(rng());
        BoolArrayCoder coder(BoolCoder::pack(byteOffset, bitOffset, bitsNum));

        Bytes before(18);
        for (auto& b : before)
            b = uint8_t(rng() & 0x7F);
        before[0] |= 0x80;
        Bytes after = before;
        coder.encode(value, after);

        const int first = byteOffset * 7 + bitOffset;
        for (int pos = 0; pos < int(after.size()) * 7; pos++) {
            const int bit = (after[pos / 7] >> pos % 7) & 1;
            const int expected = pos >= first && pos < first + bitsNum ? (value >> (pos - first)) & 1
                                                                       : (before[pos / 7] >> pos % 7) & 1;
            ASSERT_EQ(bit, expected) << "trial " << trial << " data bit " << pos;
        }
        for (size_t i = 0; i < after.size(); i++)
            ASSERT_EQ(after[i] & 0x80, i == 0 ? 0x80 : 0);
    }
}

TEST(CommandCoderRandom, NoCoderTouchesBitSeven) {
    std::mt19937 rng(777);
    std::uniform_real_distribution<double> real(-2e6, 2e6);
    Bytes m = freshMessage(18);
    auto checkMarker = [&m] {
        for (size_t i = 0; i < m.size(); i++)
            ASSERT_EQ(m[i] & 0x80, i == 0 ? 0x80 : 0) << "byte " << i;
    };
    auto randomPacked = [&rng] {
        return BoolCoder::pack(uint16_t(rng() % 10), uint8_t(rng() % 7), uint8_t(1 + rng() % 32));
    };
    for (int trial = 0; trial < 2000; trial++) {
        const uint32_t packed = randomPacked();
        const DoubleCoder::Config dc = {
            uint16_t(rng() % 10), uint8_t(rng() % 7), uint8_t(2 + rng() % 31), 0, 0.37, -1e6, 1e6};

        BoolArrayCoder(packed).encode(uint32_t(rng()), m);
        BoolNegatedArrayCoder(packed).encode(uint32_t(rng()), m);
        BoolOneHotCoder(packed).encode(uint32_t(rng() % 32), m);
        BoolRandomArrayCoder mapped(packed);
        mapped.addMapping(uint32_t(rng()));
        mapped.addMapping(uint32_t(rng()));
        mapped.encode(uint32_t(rng() % 3), m);
        EnsembleCoder ensemble;
        ensemble.addCoder(std::make_unique<BoolArrayCoder>(packed));
        ensemble.addCoder(std::make_unique<BoolNegatedArrayCoder>(randomPacked()));
        ensemble.addValue(uint32_t(rng()));
        ensemble.encode(0, m);
        checkMarker();

        DoubleOffsetBinaryCoder(dc).encode(real(rng), m);
        DoubleTwosCompCoder(dc).encode(real(rng), m);
        DoubleSignAbsCoder(dc).encode(real(rng), m);
        checkMarker();
    }
}
