#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "HelperCore/Server/Wire.hpp"

namespace tavrel {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A frame's wire form written by hand, so that the decoder is not only tested against the
// encoder.
Bytes rawFrame(std::uint32_t length, std::uint8_t kind, std::uint32_t id, std::uint32_t jsonLength,
               const Bytes& rest) {
    auto be = [](std::uint32_t v) {
        return Bytes{std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                     std::uint8_t(v)};
    };
    return concat({be(length), Bytes{kind}, be(id), be(jsonLength), rest});
}

std::optional<WireError> errorOf(FrameDecoder& decoder, const Bytes& bytes) {
    try {
        decoder.push(bytes);
    } catch (const WireError& error) {
        return error;
    }
    return std::nullopt;
}

TEST(WireEncode, WritesTheGoldenLayout) {
    struct Case {
        const char* name;
        Frame frame;
        Bytes expected;
    };
    const Case cases[] = {
        {"reply {}",
         Frame{FrameKind::reply, 0x01020304, bytesOf("{}"), {}},
         {
             0x00, 0x00, 0x00, 0x0B,  // length: 9 + 2 + 0
             0x02,                    // kind: reply
             0x01, 0x02, 0x03, 0x04,  // id
             0x00, 0x00, 0x00, 0x02,  // JSON length
             '{', '}',                // JSON
         }},
        {"request with both parts",
         Frame{FrameKind::request, 0xFFFFFFFE, bytesOf("[1]"), Bytes{0xDE, 0xAD}},
         {
             0x00, 0x00, 0x00, 0x0E,  // length: 9 + 3 + 2
             0x01,                    // kind: request
             0xFF, 0xFF, 0xFF, 0xFE,  // id
             0x00, 0x00, 0x00, 0x03,  // JSON length
             '[', '1', ']',           // JSON
             0xDE, 0xAD,              // binary part, to the end of the frame
         }},
        {"chunk without JSON",
         Frame{FrameKind::chunk, 7, {}, Bytes{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}},
         {
             0x00, 0x00, 0x00, 0x0F,              // length: 9 + 0 + 6
             0x04,                                // kind: chunk
             0x00, 0x00, 0x00, 0x07,              // id
             0x00, 0x00, 0x00, 0x00,              // JSON length
             0x00, 0x00, 0x00, 0x01, 0x09, 0xF0,  // binary part
         }},
        {"empty failure",
         Frame{FrameKind::failure, 0, {}, {}},
         {
             0x00, 0x00, 0x00, 0x09,  // length: the bare header
             0x03,                    // kind: failure
             0x00, 0x00, 0x00, 0x00,  // id
             0x00, 0x00, 0x00, 0x00,  // JSON length
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Wire::encode(c.frame), c.expected);
        FrameDecoder decoder;
        EXPECT_EQ(decoder.push(c.expected), std::vector<Frame>{c.frame});
        EXPECT_EQ(decoder.buffered(), 0u);
    }
}

TEST(WireEncode, KindBytesFollowTheOrderOfKinds) {
    for (std::size_t i = 0; i < allFrameKinds.size(); ++i)
        EXPECT_EQ(Wire::encode(Frame{allFrameKinds[i], 1, {}, {}})[4], i + 1);
}

TEST(FrameDecoder, ReturnsAFrameOnlyWithItsLastByte) {
    const Frame frame{FrameKind::request, 42, bytesOf(R"({"op":"hello"})"), Bytes{1, 2, 3}};
    const Bytes wire = Wire::encode(frame);
    FrameDecoder decoder;
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        EXPECT_TRUE(decoder.push(Bytes{wire[i]}).empty()) << "byte " << i;
        EXPECT_EQ(decoder.buffered(), i + 1);
    }
    EXPECT_EQ(decoder.push(Bytes{wire.back()}), std::vector<Frame>{frame});
    EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(FrameDecoder, CutsAnyStreamTheSameWayWhereverItIsSplit) {
    const std::vector<Frame> frames = {
        {FrameKind::request, 1, bytesOf(R"({"op":"describe"})"), {}},
        {FrameKind::chunk, 2, {}, Bytes(300, 0xAB)},
        {FrameKind::reply, 3, {}, {}},
        {FrameKind::failure, 4, bytesOf(R"({"message":"x","status":400})"), Bytes{9}},
    };
    Bytes stream;
    for (const auto& frame : frames) {
        const Bytes wire = Wire::encode(frame);
        stream.insert(stream.end(), wire.begin(), wire.end());
    }

    {
        FrameDecoder decoder;
        EXPECT_EQ(decoder.push(stream), frames) << "all frames in one push, in order";
    }
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        FrameDecoder decoder;
        auto got = decoder.push(std::span(stream).first(split));
        auto rest = decoder.push(std::span(stream).subspan(split));
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got, frames) << "split at " << split;
    }
}

TEST(FrameDecoder, KeepsAPartialTailForTheNextPush) {
    const Frame first{FrameKind::request, 1, bytesOf("{}"), {}};
    const Frame second{FrameKind::request, 2, bytesOf(R"({"op":"hid"})"), Bytes{5, 6}};
    const Bytes a = Wire::encode(first), b = Wire::encode(second);
    const std::size_t cut = 10;

    FrameDecoder decoder;
    Bytes push1 = a;
    push1.insert(push1.end(), b.begin(), b.begin() + cut);
    EXPECT_EQ(decoder.push(push1), std::vector<Frame>{first});
    EXPECT_EQ(decoder.buffered(), cut);
    EXPECT_EQ(decoder.push(Bytes(b.begin() + cut, b.end())), std::vector<Frame>{second});
}

TEST(FrameDecoder, JudgesTheLengthFieldAsSoonAsItsFourBytesArrive) {
    struct Case {
        std::uint32_t length;
        std::optional<WireError::Case> refusal;
        const char* description;
    };
    const Case cases[] = {
        {0, WireError::Case::tooShort,
         "a frame of 0 bytes is too short to hold its kind, id and JSON length"},
        {8, WireError::Case::tooShort,
         "a frame of 8 bytes is too short to hold its kind, id and JSON length"},
        {9, std::nullopt, ""},
        {Wire::maxFrame, std::nullopt, ""},
        {Wire::maxFrame + 1, WireError::Case::tooLarge,
         "a frame of 67108865 bytes is larger than 67108864"},
        {0xFFFFFFFF, WireError::Case::tooLarge,
         "a frame of 4294967295 bytes is larger than 67108864"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes field = {std::uint8_t(c.length >> 24), std::uint8_t(c.length >> 16),
                             std::uint8_t(c.length >> 8), std::uint8_t(c.length)};
        FrameDecoder decoder;
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(errorOf(decoder, Bytes{field[i]}));
        const auto error = errorOf(decoder, Bytes{field[3]});
        ASSERT_EQ(error.has_value(), c.refusal.has_value());
        if (!error) continue;
        EXPECT_EQ(error->which(), *c.refusal);
        EXPECT_EQ(error->value(), c.length);
        EXPECT_EQ(error->description(), c.description);
        EXPECT_STREQ(error->what(), c.description);
    }
}

TEST(FrameDecoder, RefusesABadKindOrJSONLengthOnlyOnceTheFrameIsWhole) {
    struct Case {
        const char* name;
        Bytes wire;
        std::optional<WireError::Case> refusal;
        std::uint32_t value;
        const char* description;
    };
    const Case cases[] = {
        {"kind 0", rawFrame(11, 0, 1, 0, Bytes{1, 2}), WireError::Case::unknownKind, 0,
         "frame kind 0 is not one this helper knows"},
        {"kind 5", rawFrame(11, 5, 1, 0, Bytes{1, 2}), WireError::Case::unknownKind, 5,
         "frame kind 5 is not one this helper knows"},
        {"kind 255 beats a JSON overrun", rawFrame(9, 255, 1, 1, {}), WireError::Case::unknownKind,
         255, "frame kind 255 is not one this helper knows"},
        {"J = L - 9", rawFrame(11, 2, 1, 2, bytesOf("{}")), std::nullopt, 0, ""},
        {"J = L - 8", rawFrame(11, 2, 1, 3, bytesOf("{}")), WireError::Case::jsonOverruns, 3,
         "a frame's JSON of 3 bytes runs past its end"},
        {"J far past", rawFrame(9, 1, 1, 0xFFFFFFFF, {}), WireError::Case::jsonOverruns, 0xFFFFFFFF,
         "a frame's JSON of 4294967295 bytes runs past its end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameDecoder decoder;
        for (std::size_t i = 0; i + 1 < c.wire.size(); ++i)
            ASSERT_FALSE(errorOf(decoder, Bytes{c.wire[i]})) << "byte " << i;
        const auto error = errorOf(decoder, Bytes{c.wire.back()});
        ASSERT_EQ(error.has_value(), c.refusal.has_value());
        if (!error) continue;
        EXPECT_EQ(error->which(), *c.refusal);
        EXPECT_EQ(error->value(), c.value);
        EXPECT_EQ(error->description(), c.description);
    }
}

TEST(FrameDecoder, DecodesTheEmptyFrameAndTheSplitOfJSONAndBinary) {
    FrameDecoder decoder;
    const auto frames = decoder.push(concat({
        rawFrame(9, 3, 5, 0, {}),
        rawFrame(11, 2, 6, 2, bytesOf("{}")),
        rawFrame(12, 4, 7, 1, Bytes{'1', 0xFF, 0x00}),
    }));
    const std::vector<Frame> expected = {
        {FrameKind::failure, 5, {}, {}},
        {FrameKind::reply, 6, bytesOf("{}"), {}},
        {FrameKind::chunk, 7, bytesOf("1"), Bytes{0xFF, 0x00}},
    };
    EXPECT_EQ(frames, expected);
}

TEST(FrameDecoder, AGoodFrameBeforeABadOneInOnePushIsNotReturned) {
    const Bytes good = Wire::encode(Frame{FrameKind::request, 1, bytesOf("{}"), {}});
    const Bytes bad = rawFrame(9, 9, 2, 0, {});
    FrameDecoder decoder;
    std::vector<Frame> returned;
    try {
        returned = decoder.push(concat({good, bad, good}));
        FAIL() << "the push should throw";
    } catch (const WireError& error) {
        EXPECT_EQ(error.which(), WireError::Case::unknownKind);
    }
    EXPECT_TRUE(returned.empty());
    // A decoder that has thrown is not trusted with more bytes.
    EXPECT_EQ(errorOf(decoder, good), WireError(WireError::Case::unknownKind, 9));
}

TEST(FrameDecoder, AcceptsTheLargestFrame) {
    FrameDecoder decoder;
    const Bytes header = rawFrame(Wire::maxFrame, 4, 77, 2, bytesOf("{}"));
    EXPECT_TRUE(decoder.push(header).empty());
    const std::size_t blobSize = Wire::maxFrame - 9 - 2;
    Bytes piece(1 << 16, 0x5A);
    std::vector<Frame> frames;
    for (std::size_t sent = 0; sent < blobSize;) {
        const std::size_t n = std::min(piece.size(), blobSize - sent);
        piece[0] = static_cast<std::uint8_t>(sent >> 16);  // marks where each piece landed
        auto got = decoder.push(std::span(piece).first(n));
        sent += n;
        if (sent < blobSize) {
            ASSERT_TRUE(got.empty());
        }
        frames = std::move(got);
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 77u);
    EXPECT_EQ(frames[0].json, bytesOf("{}"));
    ASSERT_EQ(frames[0].blob.size(), blobSize);
    EXPECT_EQ(frames[0].blob[0], 0);
    EXPECT_EQ(frames[0].blob[5 << 16], 5);
    EXPECT_EQ(frames[0].blob[(5 << 16) + 1], 0x5A);
}

}  // namespace
}  // namespace tavrel
