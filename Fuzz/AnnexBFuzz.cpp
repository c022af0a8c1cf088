// Splits arbitrary bytes as Annex B and checks the units against a plain byte-by-byte scan;
// then packages the units found as an access unit, which must hold each of them once behind a
// start code and end with the delimiter.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

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
    const auto views = tavrel::AnnexB::nalUnitViews(bytes);
    std::vector<Bytes> units;
    std::size_t payload = 0;
    for (const auto view : views) {
        if (view.empty()) std::abort();
        (void)tavrel::AnnexB::type(view);
        units.emplace_back(view.begin(), view.end());
        payload += view.size();
    }
    if (units != referenceUnits(bytes)) std::abort();

    const Bytes unit = tavrel::AnnexB::accessUnit(views, {});
    const auto& delimiter = tavrel::AnnexB::accessUnitDelimiter;
    const auto& start = tavrel::AnnexB::startCode;
    if (unit.size() != payload + start.size() * views.size() + delimiter.size()) std::abort();
    if (!std::equal(delimiter.begin(), delimiter.end(), unit.end() - delimiter.size()))
        std::abort();
    std::size_t at = 0;
    for (const auto view : views) {
        if (!std::equal(start.begin(), start.end(), unit.begin() + at)) std::abort();
        at += start.size();
        if (!std::equal(view.begin(), view.end(), unit.begin() + at)) std::abort();
        at += view.size();
    }
    return 0;
}
