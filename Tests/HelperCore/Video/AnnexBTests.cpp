#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

using Sets = std::vector<Bytes>;

TEST(AnnexBAccessUnit, WritesParameterSetsUnitsThenTheDelimiter) {
    struct Case {
        const char* name;
        Bytes avcc;
        std::int64_t lengthSize;
        Sets parameterSets;
        Bytes expected;
    };
    const Case cases[] = {
        {"one unit, 4-byte lengths",
         {0x00, 0x00, 0x00, 0x02, /* IDR slice */ 0x65, 0x88},
         4,
         {},
         {0x00, 0x00, 0x00, 0x01, 0x65, 0x88,  //
          0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"parameter sets first, in order",
         {0x00, 0x00, 0x00, 0x02, 0x65, 0x88},
         4,
         {{0x67, 0x42}, {0x68, 0xCE}},
         {0x00, 0x00, 0x00, 0x01, /* SPS */ 0x67, 0x42,  //
          0x00, 0x00, 0x00, 0x01, /* PPS */ 0x68, 0xCE,  //
          0x00, 0x00, 0x00, 0x01, /* IDR */ 0x65, 0x88,  //
          0x00, 0x00, 0x00, 0x01, /* AUD */ 0x09, 0xF0}},
        {"nothing at all", {}, 4, {}, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"parameter sets only",
         {},
         2,
         {{0x67}},
         {0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"1-byte lengths, two units",
         {0x01, 0x06, /* next */ 0x03, 0x41, 0x9A, 0x00},
         1,
         {},
         {0x00, 0x00, 0x00, 0x01, /* SEI */ 0x06,                        //
          0x00, 0x00, 0x00, 0x01, /* non-IDR slice */ 0x41, 0x9A, 0x00,  //
          0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"3-byte lengths",
         {0x00, 0x00, 0x01, 0x41},
         3,
         {},
         {0, 0, 0, 1, 0x41, 0, 0, 0, 1, 0x09, 0xF0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnnexB::accessUnit(c.avcc, c.lengthSize, c.parameterSets), c.expected) << c.name;
}

TEST(AnnexBAccessUnit, ReadsLengthsBigEndian) {
    // 2-byte length 0x0102 = 258 bytes.
    Bytes avcc = {0x01, 0x02};
    for (int i = 0; i < 258; ++i) avcc.push_back(static_cast<std::uint8_t>(i));
    const Bytes unit = AnnexB::accessUnit(avcc, 2, {});
    ASSERT_EQ(unit.size(), 4u + 258u + 6u);
    EXPECT_EQ(Bytes(unit.begin() + 4, unit.end() - 6), Bytes(avcc.begin() + 2, avcc.end()));
}

TEST(AnnexBAccessUnit, RefusesLengthSizesAndFramesItCannotRead) {
    struct Case {
        Bytes avcc;
        std::int64_t lengthSize;
        std::string message;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x00, 0x02, 0x65, 0x88}, 0, "a NAL length of 0 bytes"},
        {{0x00, 0x00, 0x00, 0x02, 0x65, 0x88}, 5, "a NAL length of 5 bytes"},
        {{}, -1, "a NAL length of -1 bytes"},
        {{0x00, 0x00, 0x00}, 4, "an encoded frame ends inside a NAL length"},
        {{0x00, 0x01, 0x65, 0x00}, 2, "an encoded frame ends inside a NAL length"},
        {{0x00, 0x00, 0x00, 0x00, 0x65},
         4,
         "an encoded frame has a NAL unit of 0 bytes that it does not hold"},
        {{0x00, 0x00, 0x00, 0x09, 0x65, 0x88},
         4,
         "an encoded frame has a NAL unit of 9 bytes that it does not hold"},
        {{0x01, 0x65, 0x02, 0x41},
         1,
         "an encoded frame has a NAL unit of 2 bytes that it does not hold"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x65},
         4,
         "an encoded frame has a NAL unit of 4294967295 bytes that it does not hold"},
    };
    for (const auto& c : cases) {
        try {
            AnnexB::accessUnit(c.avcc, c.lengthSize, Sets{{0x67}});
            ADD_FAILURE() << "packaged, expected: " << c.message;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure.message(), c.message);
            EXPECT_EQ(failure.status(), 502);
        }
    }
}

TEST(AnnexBNalUnits, SplitsAtThreeAndFourByteStartCodes) {
    struct Case {
        const char* name;
        Bytes annexB;
        std::vector<Bytes> expected;
    };
    const Case cases[] = {
        {"four- then three-byte codes; the zero before 00 00 01 is part of the code",
         {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x01, 0x68, 0xCE},
         {{0x67, 0x42}, {0x68, 0xCE}}},
        {"an empty first unit is dropped", {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65}, {{0x65}}},
        {"bytes before the first start code are ignored",
         {0x12, 0x34, 0x00, 0x00, 0x01, 0x65, 0x88},
         {{0x65, 0x88}}},
        {"trailing zeros of the last unit stay",
         {0x00, 0x00, 0x01, 0x65, 0x00, 0x00},
         {{0x65, 0x00, 0x00}}},
        {"a code at the very end gives nothing",
         {0x00, 0x00, 0x01, 0x65, 0x00, 0x00, 0x01},
         {{0x65}}},
        {"no start code", {0x65, 0x88, 0x00, 0x00}, {}},
        {"too short", {0x00, 0x01}, {}},
        {"empty", {}, {}},
        {"an access unit as the stream sends it",
         {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE,
          0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x09, 0xF0},
         {{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0x88}, {0x09, 0xF0}}},
    };
    for (const auto& c : cases) EXPECT_EQ(AnnexB::nalUnits(c.annexB), c.expected) << c.name;
}

TEST(AnnexBNalUnits, ReadsBackWhatAccessUnitWrote) {
    const Bytes avcc = {0x00, 0x00, 0x00, 0x03, 0x65, 0x00, 0x01,  //
                        0x00, 0x00, 0x00, 0x02, 0x06, 0x05};
    const Sets sets = {{0x67, 0x64, 0x00, 0x1F}, {0x68, 0xEB}};
    const auto units = AnnexB::nalUnits(AnnexB::accessUnit(avcc, 4, sets));
    const std::vector<Bytes> expected = {
        sets[0], sets[1], {0x65, 0x00, 0x01}, {0x06, 0x05}, {0x09, 0xF0}};
    EXPECT_EQ(units, expected);
}

/// The splitting rule written as plainly as possible: test every byte for 00 00 01.
std::vector<Bytes> splitByteByByte(const Bytes& data) {
    std::vector<std::pair<std::size_t, std::size_t>> marks;  // (code, body)
    for (std::size_t i = 0; i + 2 < data.size();) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            marks.emplace_back(i > 0 && data[i - 1] == 0 ? i - 1 : i, i + 3);
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<Bytes> units;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        const std::size_t end = k + 1 < marks.size() ? marks[k + 1].first : data.size();
        if (marks[k].second < end)
            units.emplace_back(data.begin() + marks[k].second, data.begin() + end);
    }
    return units;
}

TEST(AnnexBNalUnits, AgreesWithAByteByByteScanOnRunsOfZerosAndOnes) {
    std::mt19937 random(7);
    const std::uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0x65};
    for (int round = 0; round < 5000; ++round) {
        Bytes data(random() % 24);
        for (auto& byte : data) byte = alphabet[random() % 5];
        ASSERT_EQ(AnnexB::nalUnits(data), splitByteByByte(data)) << ::testing::PrintToString(data);
    }
}

TEST(AnnexBType, IsTheLowFiveBitsOfTheFirstByte) {
    struct Case {
        Bytes payload;
        std::int64_t expected;
    };
    const Case cases[] = {{{0x65, 0x88}, 5}, {{0x67}, 7},  {{0x68}, 8}, {{0x09, 0xF0}, 9},
                          {{0x41}, 1},       {{0xFF}, 31}, {{}, 0}};
    for (const auto& c : cases) EXPECT_EQ(AnnexB::type(c.payload), c.expected);
}

}  // namespace
}  // namespace tavrel
