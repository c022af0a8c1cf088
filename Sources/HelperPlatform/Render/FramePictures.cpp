#include "HelperPlatform/Render/FramePictures.hpp"

#include <turbojpeg.h>

#include <cerrno>
#include <cstring>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Render/RenderFiles.hpp"

namespace tavrel {
namespace {

[[noreturn]] void unreadableJPEG() {
    throw HelperFailure("a recorded JPEG cannot be read", 502);
}

}  // namespace

FramePictures::Reading FramePictures::open(const std::string& path) {
    RenderFiles::ReadableFile opened(path, "the recording", [&path](const std::string& reason) {
        return HelperFailure("the recording cannot be opened: " + path + ": " + reason, 502);
    });
    File file(::fdopen(opened.descriptor(), "rb"));
    if (!file) {
        throw HelperFailure("the recording cannot be opened: " + path + ": " + std::strerror(errno),
                            502);
    }
    opened.release();
    std::FILE* handle = file.get();
    FrameFile::Reader reader([handle, path](std::size_t count) {
        Bytes bytes(count);
        const std::size_t got = std::fread(bytes.data(), 1, count, handle);
        if (got < count && std::ferror(handle)) {
            throw HelperFailure(
                "the recording cannot be read: " + path + ": " + std::strerror(errno), 502);
        }
        bytes.resize(got);
        return bytes;
    });
    return Reading{std::move(file), std::move(reader)};
}

FramePictures::FramePictures(const std::string& path) {
    decompressor_ = tjInitDecompress();
    if (decompressor_ == nullptr) unreadableJPEG();
    try {
        Reading scan = open(path);
        H264Decoder scanDecoder;
        RecordedPicture first;
        double last = 0;
        while (auto frame = scan.reader.next()) {
            last = frame->time;
            if (first) continue;
            first = frame->kind == FrameFile::Kind::jpeg ? decodeJPEG(frame->data, decompressor_)
                                                         : scanDecoder.decode(frame->data);
            if (!first && frame->kind == FrameFile::Kind::jpeg) unreadableJPEG();
        }
        if (!first) throw HelperFailure("the recording took no pictures", 502);
        width_ = first->width;
        height_ = first->height;
        duration_ = last;
        playback_ = std::make_unique<Reading>(open(path));
        decoder_ = std::make_unique<H264Decoder>();
    } catch (...) {
        tjDestroy(decompressor_);
        throw;
    }
}

FramePictures::~FramePictures() {
    tjDestroy(decompressor_);
}

RecordedPicture FramePictures::decodeJPEG(std::span<const std::uint8_t> jpeg, void* decompressor) {
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    auto* bytes = const_cast<unsigned char*>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    if (tjDecompressHeader3(decompressor, bytes, size, &width, &height, &subsampling,
                            &colourspace) != 0 ||
        width < 1 || height < 1) {
        return nullptr;
    }
    AVFramePtr frame(av_frame_alloc());
    if (!frame) return nullptr;
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    // Warnings (a truncated but decodable file) still give a picture.
    if (tjDecompress2(decompressor, bytes, size, frame->data[0], width, frame->linesize[0], height,
                      TJPF_BGRA, TJFLAG_FASTDCT) != 0 &&
        tjGetErrorCode(decompressor) == TJERR_FATAL) {
        return nullptr;
    }
    return recordedPicture(frame.release());
}

std::optional<std::pair<double, RecordedPicture>> FramePictures::next(Reading& reading,
                                                                      H264Decoder& decoder) {
    while (auto frame = reading.reader.next()) {
        if (frame->kind == FrameFile::Kind::jpeg) {
            auto picture = decodeJPEG(frame->data, decompressor_);
            if (!picture) unreadableJPEG();
            return std::pair{frame->time, std::move(picture)};
        }
        if (auto picture = decoder.decode(frame->data)) {
            return std::pair{frame->time, std::move(picture)};
        }
    }
    return std::nullopt;
}

RecordedPicture FramePictures::picture(double t) {
    return playhead_.at(t, [this] { return next(*playback_, *decoder_); });
}

}  // namespace tavrel
