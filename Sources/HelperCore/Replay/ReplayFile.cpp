#include "HelperCore/Replay/ReplayFile.hpp"

#include <algorithm>

#include "HelperCore/Render/FrameFile.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"

namespace tavrel::ReplayFile {
namespace {

void append(Bytes& out, const Bytes& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendUnit(Bytes& out, AnnexB::ByteView unit) {
    out.insert(out.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
    out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

Bytes encode(const ReplayRing::Window& window) {
    std::size_t size = FrameFile::magic.size();
    for (const auto& unit : window.units) size += 2 * FrameFile::headerSize + unit.bytes->size();
    Bytes file;
    file.reserve(size);
    file.insert(file.end(), FrameFile::magic.begin(), FrameFile::magic.end());

    for (const auto& unit : window.units) {
        const double time = std::max(unit.t - window.origin, 0.0);
        if (!unit.key) {
            append(file, FrameFile::encode({FrameFile::Kind::h264, time, *unit.bytes}));
            continue;
        }
        Bytes parameterSets;
        Bytes picture;
        for (const auto nal : AnnexB::nalUnitViews(*unit.bytes)) {
            appendUnit(NALUnit::isParameterSet(AnnexB::type(nal)) ? parameterSets : picture, nal);
        }
        if (!parameterSets.empty())
            append(file, FrameFile::encode({FrameFile::Kind::h264, time, parameterSets}));
        if (!picture.empty())
            append(file, FrameFile::encode({FrameFile::Kind::h264, time, picture}));
    }
    return file;
}

}  // namespace tavrel::ReplayFile
