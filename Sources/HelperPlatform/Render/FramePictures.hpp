#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "HelperCore/Render/FrameFile.hpp"
#include "HelperPlatform/Media/TurboJPEG.hpp"
#include "HelperPlatform/Render/H264Decoder.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

namespace tavrel {

/// A frame file read as pictures: H.264 frames through an `H264Decoder`, JPEG frames through
/// TurboJPEG. Opening scans the whole file once (a throw-away decoder decodes up to the first
/// picture for the size, the rest is only read for the last time); playback then reads it a
/// second time from the start.
class FramePictures final : public PictureSource {
  public:
    /// Throws `HelperFailure` 502: the file's own errors, the frame file's, "the recording
    /// took no pictures", "a recorded JPEG cannot be read" and the decoder's.
    explicit FramePictures(const std::string& path);

    int width() const override { return width_; }
    int height() const override { return height_; }
    double duration() const override { return duration_; }
    RecordedPicture picture(double t) override;

    /// A JPEG as a BGRA picture; null when it cannot be read.
    static RecordedPicture decodeJPEG(std::span<const std::uint8_t> jpeg, void* decompressor);

  private:
    struct FileClose {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    using File = std::unique_ptr<std::FILE, FileClose>;
    struct Reading {
        File file;
        FrameFile::Reader reader;
    };

    static Reading open(const std::string& path);
    // The next picture of `reading` and its time, decoding with `decoder`.
    std::optional<std::pair<double, RecordedPicture>> next(Reading& reading, H264Decoder& decoder);

    int width_ = 0;
    int height_ = 0;
    double duration_ = 0;
    TurboJPEGHandle decompressor_;
    std::unique_ptr<Reading> playback_;
    std::unique_ptr<H264Decoder> decoder_;
    Playhead playhead_;
};

}  // namespace tavrel
