#include "HelperCore/Video/AnnexB.hpp"

#include <algorithm>
#include <cstring>

#include "HelperCore/Video/NALUnit.hpp"

namespace tavrel::AnnexB {

Bytes accessUnit(std::span<const ByteView> units, std::span<const Bytes> parameterSets) {
    std::size_t size = accessUnitDelimiter.size();
    for (const auto& set : parameterSets) size += startCode.size() + set.size();
    for (const auto unit : units) size += startCode.size() + unit.size();
    // Sized exactly, so appending neither grows the buffer nor zero-fills it first.
    Bytes output;
    output.reserve(size);
    const auto put = [&output](const auto& bytes) {
        output.insert(output.end(), bytes.begin(), bytes.end());
    };
    for (const auto& set : parameterSets) {
        put(startCode);
        put(set);
    }
    for (const auto unit : units) {
        put(startCode);
        put(unit);
    }
    put(accessUnitDelimiter);
    return output;
}

std::vector<ByteView> nalUnitViews(ByteView annexB) {
    struct Mark {
        std::size_t code;
        std::size_t body;
    };
    std::vector<Mark> marks;
    const std::size_t count = annexB.size();
    const std::uint8_t* const data = annexB.data();
    // Looks for the 01 of each 00 00 01 with memchr, which skips the long runs of slice data
    // far faster than testing every byte; the marks are the same.
    std::size_t from = 2;
    while (from < count) {
        const auto* one =
            static_cast<const std::uint8_t*>(std::memchr(data + from, 1, count - from));
        if (!one) break;
        const auto j = static_cast<std::size_t>(one - data);
        if (data[j - 1] == 0 && data[j - 2] == 0) {
            const std::size_t i = j - 2;
            const bool fourByteCode = i > 0 && data[i - 1] == 0;
            marks.push_back({fourByteCode ? i - 1 : i, i + 3});
            // The next start code begins at i + 3 at the earliest.
            from = j + 3;
        } else {
            from = j + 1;
        }
    }
    std::vector<ByteView> units;
    units.reserve(marks.size());
    for (std::size_t index = 0; index < marks.size(); ++index) {
        const std::size_t end = index + 1 < marks.size() ? marks[index + 1].code : count;
        if (marks[index].body < end)
            units.push_back(annexB.subspan(marks[index].body, end - marks[index].body));
    }
    return units;
}

bool isKeyFrame(ByteView accessUnit) {
    return std::ranges::any_of(nalUnitViews(accessUnit),
                               [](ByteView unit) { return type(unit) == NALUnit::idrSlice; });
}

std::int64_t type(ByteView payload) {
    return payload.empty() ? 0 : payload.front() & 0x1F;
}

}  // namespace tavrel::AnnexB
