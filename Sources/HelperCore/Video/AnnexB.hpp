#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel {

/// H.264's Annex B byte stream (NAL units behind start codes, parameter sets inline), as the
/// encoder gives it and the client receives it: split into units, and one access unit made of
/// units at hand. Stateless.
namespace AnnexB {

using ByteView = std::span<const std::uint8_t>;

inline constexpr std::array<std::uint8_t, 4> startCode = {0x00, 0x00, 0x00, 0x01};
/// A start code and an access-unit delimiter NAL unit (type 9, primary_pic_type 7, stop bit).
inline constexpr std::array<std::uint8_t, 6> accessUnitDelimiter = {0x00, 0x00, 0x00,
                                                                    0x01, 0x09, 0xF0};

/// One self-contained access unit from NAL unit payloads already at hand (views into an
/// encoder's Annex B output, say): each parameter set and then each of `units` behind a
/// four-byte start code, closed by the access-unit delimiter (it follows its frame, so a client
/// knows a frame is complete without waiting for the next one). One allocation; each byte
/// copied once.
Bytes accessUnit(std::span<const ByteView> units, std::span<const Bytes> parameterSets);

/// The NAL unit payloads of an Annex B byte string, in order, without their start codes, as
/// views into `annexB`. Bytes before the first start code and empty units are dropped; a zero
/// just before a three-byte start code belongs to that (four-byte) start code.
std::vector<ByteView> nalUnitViews(ByteView annexB);

/// Whether an access unit holds an IDR picture, which decodes without what came before it.
bool isKeyFrame(ByteView accessUnit);

/// The NAL unit type of a payload (its first byte's low five bits); 0 for an empty payload.
std::int64_t type(ByteView payload);

}  // namespace AnnexB
}  // namespace tavrel
