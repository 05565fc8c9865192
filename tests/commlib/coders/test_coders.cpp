#include "commlib/coders/commandcoder.h"

#include <gtest/gtest.h>

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

// Each coder against codes worked out by hand. A row starts from a fresh message holding
// `before` from byte `at` on, encodes `value` and expects `after` there, every other byte as it
// was; a double coder returns the value it applied.
struct Row {
    const char* what;
    const CommandCoder& coder;
    uint16_t at;
    Bytes before;
    double value;
    Bytes after;
    double applied = 0.0;
};

void expectRows(std::initializer_list<Row> rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes m = freshMessage();
        std::copy(row.before.begin(), row.before.end(), m.begin() + row.at);
        Bytes expected = m;
        std::copy(row.after.begin(), row.after.end(), expected.begin() + row.at);
        if (const auto* coder = dynamic_cast<const DoubleCoder*>(&row.coder)) {
            EXPECT_DOUBLE_EQ(coder->encode(row.value, m), row.applied);
        } else {
            static_cast<const BoolCoder&>(row.coder).encode(uint32_t(row.value), m);
        }
        EXPECT_EQ(m, expected);
    }
}

} // namespace

TEST(BoolCoders, NegatedOneHotMappedAndEnsembleCodes) {
    const BoolNegatedArrayCoder negated(BoolCoder::pack(1, 2, 3));
    const BoolOneHotCoder wide(BoolCoder::pack(3, 4, 5));
    BoolRandomArrayCoder mapped(BoolCoder::pack(5, 1, 6));
    for (const uint32_t code : {0x05, 0x2A, 0x11})
        mapped.addMapping(code);
    // Fields at byte 1 bit 5 (2 bits), byte 4 bit 0 (3), byte 2 bit 3 (1), low bits first.
    EnsembleCoder ensemble;
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(1, 5, 2)));
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(4, 0, 3)));
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(2, 3, 1)));
    ensemble.addValue(0x12);       // 0 100 10
    ensemble.addValue(0xFFFFFF2D); // 1 011 01, bits above the six are dropped
    expectRows({
        {"negated 0", negated, 1, {}, 0, {0x1C}},
        {"negated 5: 010", negated, 1, {0x1C}, 5, {0x08}},
        {"one-hot across bytes: 01000 at bit 4", wide, 3, {}, 3, {0x00, 0x01}},
        {"one-hot clears the other byte", wide, 3, {0x00, 0x01}, 0, {0x10, 0x00}},
        {"mapped 2", mapped, 5, {0x54}, 2, {0x22}},
        {"mapped past the table: entry 0", mapped, 5, {0x22}, 3, {0x0A}},
        {"mapped far past the table", mapped, 5, {0x54}, 1000, {0x0A}},
        {"ensemble 1", ensemble, 1, {0x1F, 0x77, 0x55, 0x78}, 1, {0x3F, 0x7F, 0x55, 0x7B}},
        // Past the table: entry 0.
        {"ensemble 7", ensemble, 1, {0x3F, 0x7F, 0x55, 0x7B}, 7, {0x5F, 0x77, 0x55, 0x7C}},
    });
}

TEST(DoubleCoders, RoundClampAndWriteTheirCodes) {
    const DoubleTwosCompCoder twos(config(1, 1, 6, 0.0625, -2.0, 2.0));
    const DoubleTwosCompCoder twosWide(config(3, 5, 10, 1.0, -512.0, 511.0));
    const DoubleOffsetBinaryCoder offset(config(1, 0, 10, 1.0, -500.0, 500.0));
    const DoubleOffsetBinaryCoder offsetFine(config(4, 0, 6, 0.5, -10.0, 10.0));
    const DoubleSignAbsCoder sign(config(1, 0, 8, 0.1, -10.0, 10.0));
    const DoubleSignAbsCoder signNarrow(config(3, 3, 4, 1.0, -7.0, 7.0));
    expectRows({
        {"twos: -1.6 steps round to -2, 111110", twos, 1, {0x01}, -0.1, {0x7D}, -0.125},
        {"twos: halves round away from zero", twos, 1, {0x7D}, 0.09375, {0x05}, 0.125},
        {"twos: negative halves too", twos, 1, {0x05}, -0.09375, {0x7D}, -0.125},
        {"twos: clamped to 32 steps, 100000", twos, 1, {0x7D}, 5.0, {0x41}, 2.0},
        // 11 / 1111110 / 1 from bit 5 of byte 3.
        {"twos: -5 in ten bits", twosWide, 3, {}, -5.0, {0x60, 0x7E, 0x01, 0x00}, -5.0},
        {"offset: 600 clamps to code 1000, 111 1101000", offset, 1, {}, 600.0, {0x68, 0x07}, 500.0},
        {"offset: -600 clamps to code 0", offset, 1, {0x7F, 0x7F}, -600.0, {0x00, 0x78}, -500.0},
        {"offset: 0 is code 500, 11 1110100", offset, 1, {}, 0.0, {0x74, 0x03}, 0.0},
        {"offset: 22.5 steps round to 23", offsetFine, 4, {}, 1.25, {0x17}, 1.5},
        {"offset: 17.5 steps round to 18", offsetFine, 4, {}, -1.25, {0x12}, -1.0},
        {"sign: -3 steps, 1 0000011", sign, 1, {}, -3 * 0.1, {0x03, 0x01}, -3 * 0.1},
        {"sign: +3 steps clear the sign", sign, 1, {0x03, 0x01}, 3 * 0.1, {0x03, 0x00}, 3 * 0.1},
        {"sign: -20 clamps to 100 steps with the sign", sign, 1, {}, -20.0, {0x64, 0x01}, -10.0},
        {"sign: -1.5 steps at bit 3, 1010", signNarrow, 3, {}, -1.5, {0x50}, -2.0},
        {"sign: +1.5 steps", signNarrow, 3, {0x50}, 1.5, {0x10}, 2.0},
    });
}
