// The numbers of a command's tag in the driver's value buffer, and the names of its values.
#include <gtest/gtest.h>

#include "value_buffer.h"
#include "vpisd/vpi.h"

namespace vpisd::cli {
namespace {

using host::kNoBit;

TagLayout Register(int32_t address, int32_t count) {
    return {0, VPI_KIND_REGISTER, address, kNoBit, count};
}
TagLayout Pair(int32_t pair, int32_t count) {
    return {0, VPI_KIND_REGISTER_PAIR, pair, kNoBit, count};
}
TagLayout Bit(int32_t bit) {
    return {0, VPI_KIND_REGISTER, 100, bit, 1};
}
TagLayout Route() {
    return {0, VPI_KIND_ROUTE, 20000, kNoBit, 1};
}

TEST(ValueBuffer, SingleValuesLiveInElementOneBlocksFromElementZero) {
    std::vector<uint16_t> buffer(4, 0xAAAA);
    std::string error;
    const int64_t one[] = {0x1234};
    ASSERT_TRUE(EncodeValues(Register(100, 1), one, WordOrder::HighFirst, buffer, error)) << error;
    EXPECT_EQ(buffer[1], 0x1234);
    EXPECT_EQ(buffer[0], 0);

    const int64_t three[] = {1, -1, 3};
    ASSERT_TRUE(EncodeValues(Register(100, 3), three, WordOrder::HighFirst, buffer, error))
        << error;
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 0xFFFF);
    EXPECT_EQ(buffer[2], 3);

    const std::vector<uint16_t> block{5, 6};
    EXPECT_EQ(DecodeValues(Register(1, 2), block, ValueType::Uint16, WordOrder::HighFirst),
              (std::vector<int64_t>{5, 6}));
    EXPECT_EQ(DecodeValues(Register(1, 1), block, ValueType::Uint16, WordOrder::HighFirst),
              (std::vector<int64_t>{6}));
    EXPECT_EQ(BufferWords(Register(1, 1)), 2u);
    EXPECT_EQ(BufferWords(Pair(1, 3)), 6u);
}

TEST(ValueBuffer, PairsSplitIntoWordsInEitherOrderAndBack) {
    const int64_t values[] = {0x11112222, -2};
    for (const WordOrder order : {WordOrder::HighFirst, WordOrder::LowFirst}) {
        std::vector<uint16_t> buffer(4);
        std::string error;
        ASSERT_TRUE(EncodeValues(Pair(51, 2), values, order, buffer, error)) << error;
        const bool high = order == WordOrder::HighFirst;
        EXPECT_EQ(buffer[0], high ? 0x1111 : 0x2222);
        EXPECT_EQ(buffer[1], high ? 0x2222 : 0x1111);
        EXPECT_EQ(buffer[2], high ? 0xFFFF : 0xFFFE);
        EXPECT_EQ(buffer[3], high ? 0xFFFE : 0xFFFF);
        EXPECT_EQ(DecodeValues(Pair(51, 2), buffer, ValueType::Int32, order),
                  (std::vector<int64_t>{0x11112222, -2}));
        EXPECT_EQ(DecodeValues(Pair(51, 2), buffer, ValueType::Uint32, order)[1], 0xFFFFFFFEll);
    }
}

TEST(ValueBuffer, BitsAndRouteTakeOneValueInElementOne) {
    std::vector<uint16_t> buffer(2, 0x5555);
    std::string error;
    const int64_t set[] = {1};
    ASSERT_TRUE(EncodeValues(Bit(15), set, WordOrder::HighFirst, buffer, error));
    EXPECT_EQ(buffer[1], 1); // the driver shifts it to the bit
    const int64_t two[] = {2};
    EXPECT_FALSE(EncodeValues(Bit(15), two, WordOrder::HighFirst, buffer, error));
    const int64_t both[] = {1, 0};
    EXPECT_FALSE(EncodeValues(Bit(0), both, WordOrder::HighFirst, buffer, error));
    EXPECT_NE(error.find("expected 1"), std::string::npos) << error;
    const int64_t backup[] = {1};
    ASSERT_TRUE(EncodeValues(Route(), backup, WordOrder::HighFirst, buffer, error));
    EXPECT_EQ(buffer[1], 1);
    const std::vector<uint16_t> read{0, 1};
    EXPECT_EQ(DecodeValues(Bit(3), read, ValueType::Bit, WordOrder::HighFirst),
              (std::vector<int64_t>{1}));
}

TEST(ValueBuffer, RangesFollowTheWidth) {
    std::vector<uint16_t> buffer(2);
    std::string error;
    auto fits = [&](const TagLayout &tag, int64_t v) {
        const int64_t values[] = {v};
        return EncodeValues(tag, values, WordOrder::HighFirst, buffer, error);
    };
    EXPECT_TRUE(fits(Register(1, 1), -32768));
    EXPECT_TRUE(fits(Register(1, 1), 65535));
    EXPECT_FALSE(fits(Register(1, 1), -32769));
    EXPECT_FALSE(fits(Register(1, 1), 65536));
    EXPECT_TRUE(fits(Pair(1, 1), -2147483648LL));
    EXPECT_TRUE(fits(Pair(1, 1), 4294967295LL));
    EXPECT_FALSE(fits(Pair(1, 1), 4294967296LL));
    EXPECT_FALSE(fits(Pair(1, 1), -2147483649LL));
    EXPECT_FALSE(fits(Route(), -1));
    // A buffer too small for the tag is refused, not overrun.
    std::vector<uint16_t> small(2);
    const int64_t three[] = {1, 2, 3};
    EXPECT_FALSE(EncodeValues(Register(1, 3), three, WordOrder::HighFirst, small, error));
}

TEST(ValueNames, BlocksNameEachRegisterOrPair) {
    EXPECT_EQ(ValueNames("p10098", Register(98, 3)),
              (std::vector<std::string>{"P10098", "P10099", "P10100"}));
    // Pair 51 is registers 101 and 102; the next pairs start at 103 and 105.
    EXPECT_EQ(ValueNames("P10101f", Pair(51, 3)),
              (std::vector<std::string>{"P10101F", "P10103F", "P10105F"}));
    EXPECT_EQ(ValueNames("P1010003", Bit(2)), (std::vector<std::string>{"P1010003"}));
    EXPECT_EQ(ValueNames("p1!route", Route()), (std::vector<std::string>{"P1!ROUTE"}));
    EXPECT_EQ(ValueNames("P19999", Register(9999, 2))[1], "P110000");
}

} // namespace
} // namespace vpisd::cli
