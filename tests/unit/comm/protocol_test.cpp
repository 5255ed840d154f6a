#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "comm/instrument_lines.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

std::vector<uint8_t> Request(uint8_t address, uint32_t mask) {
    uint8_t buf[kMaxRequestLength];
    int n = BuildRequest(address, mask, buf);
    return {buf, buf + n};
}

TEST(Protocol, RequestForParametersZeroAndTwoMatchesTheWorkedExample) {
    EXPECT_EQ(Request(1, 0b101), (std::vector<uint8_t>{0xB5, 0x01, 0x02, 0x2F, 0x00, 0x02, 0x34}));
}

TEST(Protocol, RequestWithEmptyMaskCarriesOnlyAddressAndCommandInItsChecksum) {
    for (int addr : {1, 0x7F, 0xD1, 254}) {
        EXPECT_EQ(Request(static_cast<uint8_t>(addr), 0),
                  (std::vector<uint8_t>{0xB5, static_cast<uint8_t>(addr), 0x00, 0x2F,
                                        static_cast<uint8_t>((addr + 0x2F) % 256)}))
            << addr;
    }
}

TEST(Protocol, RequestForAllThirtyTwoParametersListsThemAscendingIn37Bytes) {
    std::vector<uint8_t> r = Request(9, 0xFFFFFFFFu);
    ASSERT_EQ(r.size(), 37u);
    EXPECT_EQ(r[2], 32);
    unsigned sum = 9 + 32 + 0x2F;
    for (int k = 0; k < 32; ++k) {
        EXPECT_EQ(r[4 + k], k);
        sum += static_cast<unsigned>(k);
    }
    EXPECT_EQ(r[36], sum % 256);
}

TEST(Protocol, RequestListsOnlyTheMaskBitsInAscendingOrder) {
    EXPECT_EQ(Request(2, (1u << 31) | (1u << 7) | 1u),
              (std::vector<uint8_t>{0xB5, 2, 3, 0x2F, 0, 7, 31,
                                    static_cast<uint8_t>((2 + 3 + 0x2F + 7 + 31) % 256)}));
}

TEST(Protocol, Checksum8SumsFromTheSecondByteAndIsZeroForShortFrames) {
    const uint8_t f[] = {0xB5, 0xFF, 0xFF, 0x03};
    EXPECT_EQ(Checksum8(f, 0), 0);
    EXPECT_EQ(Checksum8(f, 1), 0);
    EXPECT_EQ(Checksum8(f, 2), 0xFF);
    EXPECT_EQ(Checksum8(f, 4), (0xFF + 0xFF + 3) % 256);
}

TEST(Protocol, DecodeValueReadsTheUpperThreeBytesLeastSignificantFirst) {
    EXPECT_EQ(DecodeValue(0x00, 0x80, 0x3F), 1.0f);
    EXPECT_EQ(DecodeValue(0xE9, 0xF6, 0x42), 123.455078125f);
    EXPECT_EQ(DecodeValue(0x00, 0x00, 0x00), 0.0f);
    EXPECT_EQ(DecodeValue(0x00, 0x00, 0xC0), -2.0f);
    EXPECT_TRUE(std::signbit(DecodeValue(0x00, 0x00, 0x80)));
}

TEST(Protocol, DecodeValueTurnsOnlyFFFFFFIntoTheNoValueMarker) {
    EXPECT_EQ(DecodeValue(0xFF, 0xFF, 0xFF), 9999999.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(DecodeValue(0xFF, 0xFF, 0xFF)), 0x4B18967Fu);
    // Other NaN patterns are not special.
    EXPECT_TRUE(std::isnan(DecodeValue(0xFF, 0xFF, 0x7F)));
    EXPECT_TRUE(std::isnan(DecodeValue(0xFE, 0xFF, 0xFF)));
}

TEST(Protocol, EncodeValueDropsTheLowByteAndRoundTrips) {
    uint8_t b[3];
    EncodeValue(123.456f, b);
    EXPECT_EQ(b[0], 0xE9);
    EXPECT_EQ(b[1], 0xF6);
    EXPECT_EQ(b[2], 0x42);
    EncodeValue(1.0f, b);
    EXPECT_EQ(DecodeValue(b[0], b[1], b[2]), 1.0f);
}

TEST(Protocol, ReplyCodesAreJudgedWithBitsFiveAndSixMasked) {
    for (int code = 0; code < 256; ++code) {
        const int m = code & 0x9F;
        EXPECT_EQ(ReplyCodeAccepted(static_cast<uint8_t>(code)), m == 0x8F || m == 0x81) << code;
    }
    EXPECT_TRUE(ReplyCodeAccepted(0xAF));
    EXPECT_TRUE(ReplyCodeAccepted(0x8F));
    EXPECT_TRUE(ReplyCodeAccepted(0xCF));
    EXPECT_TRUE(ReplyCodeAccepted(0xA1));
    EXPECT_FALSE(ReplyCodeAccepted(0x9F));
    EXPECT_FALSE(ReplyCodeAccepted(0x2F));
}

}  // namespace
}  // namespace qora
