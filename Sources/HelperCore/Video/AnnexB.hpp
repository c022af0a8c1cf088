#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"

namespace tavrel {

/// H.264 between the encoder's length-prefixed layout ("avcc": each NAL unit behind a
/// big-endian length of 1 to 4 bytes, parameter sets kept apart) and the Annex B byte stream
/// the client receives (start codes, parameter sets inline). Stateless.
namespace AnnexB {

using ByteView = std::span<const std::uint8_t>;

inline constexpr std::array<std::uint8_t, 4> startCode = {0x00, 0x00, 0x00, 0x01};
/// A start code and an access-unit delimiter NAL unit (type 9, primary_pic_type 7, stop bit).
inline constexpr std::array<std::uint8_t, 6> accessUnitDelimiter = {0x00, 0x00, 0x00,
                                                                    0x01, 0x09, 0xF0};

/// One self-contained access unit: each parameter set and then each NAL unit of `avcc` behind
/// a four-byte start code, closed by the access-unit delimiter (it follows its frame, so a
/// client knows a frame is complete without waiting for the next one). Reserves the output
/// once and copies every NAL unit once.
/// Throws `HelperFailure` 502 when `lengthSize` is not 1 to 4 or `avcc` is not a whole run
/// of non-empty length-prefixed units.
Bytes accessUnit(ByteView avcc, std::int64_t lengthSize, std::span<const Bytes> parameterSets);

/// The same access unit from NAL unit payloads already at hand (views into an encoder's Annex B
/// output, say): parameter sets, then `units`, each behind a four-byte start code, then the
/// delimiter. One allocation; each byte copied once.
Bytes accessUnit(std::span<const ByteView> units, std::span<const Bytes> parameterSets);

/// The NAL unit payloads of an Annex B byte string, in order, without their start codes, as
/// views into `annexB`. Bytes before the first start code and empty units are dropped; a zero
/// just before a three-byte start code belongs to that (four-byte) start code.
std::vector<ByteView> nalUnitViews(ByteView annexB);

/// `nalUnitViews`, copied out.
std::vector<Bytes> nalUnits(ByteView annexB);

/// The NAL unit type of a payload (its first byte's low five bits); 0 for an empty payload.
std::int64_t type(ByteView payload);

}  // namespace AnnexB
}  // namespace tavrel
