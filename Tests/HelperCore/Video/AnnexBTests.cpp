#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "HelperCore/Video/AnnexB.hpp"

namespace tavrel {
namespace {

using Sets = std::vector<Bytes>;

// The units found, copied out, to compare by value.
std::vector<Bytes> nalUnits(const Bytes& annexB) {
    std::vector<Bytes> units;
    for (const auto view : AnnexB::nalUnitViews(annexB))
        units.emplace_back(view.begin(), view.end());
    return units;
}

Bytes accessUnit(const std::vector<Bytes>& units, const Sets& parameterSets) {
    const std::vector<AnnexB::ByteView> views(units.begin(), units.end());
    return AnnexB::accessUnit(views, parameterSets);
}

TEST(AnnexBAccessUnit, WritesParameterSetsUnitsThenTheDelimiter) {
    struct Case {
        const char* name;
        std::vector<Bytes> units;
        Sets parameterSets;
        Bytes expected;
    };
    const Case cases[] = {
        {"one unit",
         {{/* IDR slice */ 0x65, 0x88}},
         {},
         {0x00, 0x00, 0x00, 0x01, 0x65, 0x88,  //
          0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"parameter sets first, in order",
         {{0x65, 0x88}},
         {{0x67, 0x42}, {0x68, 0xCE}},
         {0x00, 0x00, 0x00, 0x01, /* SPS */ 0x67, 0x42,  //
          0x00, 0x00, 0x00, 0x01, /* PPS */ 0x68, 0xCE,  //
          0x00, 0x00, 0x00, 0x01, /* IDR */ 0x65, 0x88,  //
          0x00, 0x00, 0x00, 0x01, /* AUD */ 0x09, 0xF0}},
        {"nothing at all", {}, {}, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"parameter sets only",
         {},
         {{0x67}},
         {0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
        {"two units in order",
         {{0x06}, {0x41, 0x9A, 0x00}},
         {},
         {0x00, 0x00, 0x00, 0x01, /* SEI */ 0x06,                        //
          0x00, 0x00, 0x00, 0x01, /* non-IDR slice */ 0x41, 0x9A, 0x00,  //
          0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(accessUnit(c.units, c.parameterSets), c.expected) << c.name;
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
    for (const auto& c : cases) EXPECT_EQ(nalUnits(c.annexB), c.expected) << c.name;
}

TEST(AnnexBNalUnits, ReadsBackWhatAccessUnitWrote) {
    const Sets sets = {{0x67, 0x64, 0x00, 0x1F}, {0x68, 0xEB}};
    const auto units = nalUnits(accessUnit({{0x65, 0x00, 0x01}, {0x06, 0x05}}, sets));
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
        ASSERT_EQ(nalUnits(data), splitByteByByte(data)) << ::testing::PrintToString(data);
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

TEST(AnnexBKeyFrame, IsAUnitWithAnIDRSliceWhereverItSits) {
    struct Case {
        const char* name;
        std::vector<Bytes> units;
        bool expected;
    };
    const Case cases[] = {
        {"parameter sets and an IDR slice", {{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0x88}}, true},
        {"SEI before the IDR slice", {{0x06, 0x05}, {0x65, 0x88}}, true},
        {"a slice of another picture", {{0x41, 0x9A}}, false},
        {"parameter sets alone", {{0x67, 0x42}, {0x68, 0xCE}}, false},
        {"nothing but the delimiter", {}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnnexB::isKeyFrame(accessUnit(c.units, {})), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace tavrel
