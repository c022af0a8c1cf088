// Splits arbitrary bytes as Annex B and checks the units against a plain byte-by-byte scan;
// also packages the bytes as a length-prefixed frame, which must either work or fail cleanly.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"

namespace {

using tavrel::Bytes;

std::vector<Bytes> referenceUnits(std::span<const std::uint8_t> data) {
    struct Mark {
        std::size_t code, body;
    };
    std::vector<Mark> marks;
    for (std::size_t i = 0; i + 2 < data.size();) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            marks.push_back({i > 0 && data[i - 1] == 0 ? i - 1 : i, i + 3});
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<Bytes> units;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        const std::size_t end = k + 1 < marks.size() ? marks[k + 1].code : data.size();
        if (marks[k].body < end)
            units.emplace_back(data.begin() + marks[k].body, data.begin() + end);
    }
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto units = tavrel::AnnexB::nalUnits(bytes);
    if (units != referenceUnits(bytes)) std::abort();
    for (const auto& unit : units) {
        if (unit.empty()) std::abort();
        (void)tavrel::AnnexB::type(unit);
    }

    if (size == 0) return 0;
    const std::int64_t lengthSize = data[0] % 6;
    try {
        const Bytes unit = tavrel::AnnexB::accessUnit(bytes.subspan(1), lengthSize, units);
        if (unit.size() < tavrel::AnnexB::accessUnitDelimiter.size()) std::abort();
    } catch (const tavrel::HelperFailure& failure) {
        if (failure.status() != 502) std::abort();
    }
    return 0;
}
