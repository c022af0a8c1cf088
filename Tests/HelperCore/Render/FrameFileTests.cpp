#include "HelperCore/Render/FrameFile.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {
namespace {

FrameFile::Reader::Read over(Bytes bytes) {
    auto at = std::make_shared<std::size_t>(0);
    return [bytes = std::move(bytes), at](std::size_t count) {
        const std::size_t take = std::min(count, bytes.size() - *at);
        Bytes out(bytes.begin() + *at, bytes.begin() + *at + take);
        *at += take;
        return out;
    };
}

Bytes file(std::initializer_list<Bytes> frames) {
    Bytes bytes(FrameFile::magic.begin(), FrameFile::magic.end());
    for (const Bytes& frame : frames) bytes.insert(bytes.end(), frame.begin(), frame.end());
    return bytes;
}

Bytes header(std::uint8_t kind, std::uint64_t timeBits, std::uint32_t length) {
    Bytes bytes{kind};
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(timeBits >> shift & 0xFF);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(length >> shift & 0xFF);
    return bytes;
}

std::string failureOf(const Bytes& bytes) {
    try {
        FrameFile::Reader reader(over(bytes));
        while (reader.next()) {
        }
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 502);
        return failure.message();
    }
    return "";
}

TEST(FrameFile, EncodesTheDocumentedLayout) {
    // kind 2, time 1.5 (0x3FF8000000000000), length 3, payload.
    EXPECT_EQ(FrameFile::encode({FrameFile::Kind::jpeg, 1.5, {0xAA, 0xBB, 0xCC}}),
              (Bytes{0x02, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
}

TEST(FrameFile, ReadsFramesInOrderUnchanged) {
    const FrameFile::Frame first{FrameFile::Kind::h264, 2.0, {1, 2, 3}};
    const FrameFile::Frame earlier{FrameFile::Kind::jpeg, 0.5, {4}};
    const FrameFile::Frame negativeZero{FrameFile::Kind::h264, -0.0, {5}};
    FrameFile::Reader reader(over(file(
        {FrameFile::encode(first), FrameFile::encode(earlier), FrameFile::encode(negativeZero)})));
    EXPECT_EQ(reader.next(), first);
    EXPECT_EQ(reader.next(), earlier);  // times are not checked to ascend
    EXPECT_EQ(reader.next(), negativeZero);
    EXPECT_EQ(reader.next(), std::nullopt);
    EXPECT_EQ(FrameFile::Reader(over(file({}))).next(), std::nullopt);
}

TEST(FrameFile, ReportsEachFaultInTheReadersOrder) {
    const std::string notOurs = "not a Tavrel frame file, or one of a newer version";
    const std::string endsInside = "a frame file ends inside a frame";
    const std::uint64_t oneAndAHalf = 0x3FF8000000000000;
    const std::uint64_t minusHalf = 0xBFE0000000000000;
    const std::uint64_t infinity = 0x7FF0000000000000;
    const std::uint64_t nan = 0x7FF8000000000000;
    Bytes largest = header(1, 0, FrameFile::largestFrame);
    largest.resize(largest.size() + FrameFile::largestFrame, 0);
    struct Case {
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {{}, notOurs},
        {bytesOf("TVR"), notOurs},
        {{'T', 'V', 'R', 'F', 0x02}, notOurs},
        {{'t', 'v', 'r', 'f', 0x01}, notOurs},
        {file({Bytes(12, 1)}), endsInside},
        {file({header(1, 0, 4), {1, 2, 3}}), endsInside},
        {file({header(0, 0, 1), {0}}), "a frame of an unknown kind 0"},
        {file({header(3, infinity, 0)}), "a frame of an unknown kind 3"},  // kind first
        {file({header(1, oneAndAHalf, 0)}), "a frame file has a frame of 0 bytes at 1.5s"},
        {file({header(2, 0, FrameFile::largestFrame + 1)}),
         "a frame file has a frame of 67108865 bytes at 0.0s"},
        {file({header(1, minusHalf, 1), {0}}), "a frame file has a frame of 1 bytes at -0.5s"},
        {file({header(1, infinity, 1), {0}}), "a frame file has a frame of 1 bytes at infs"},
        {file({header(1, nan, 1), {0}}), "a frame file has a frame of 1 bytes at nans"},
        {file({std::move(largest)}), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failureOf(c.bytes), c.message) << "file of " << c.bytes.size() << " bytes";
    }
}

TEST(FrameFile, PassesTheReadFunctionsOwnErrorsOn) {
    struct DiskError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    int calls = 0;
    FrameFile::Reader reader([&](std::size_t count) -> Bytes {
        if (++calls == 1) return Bytes(FrameFile::magic.begin(), FrameFile::magic.end());
        EXPECT_EQ(count, FrameFile::headerSize);
        throw DiskError("the disk went away");
    });
    EXPECT_THROW(reader.next(), DiskError);
}

}  // namespace
}  // namespace tavrel
