#pragma once

#include <libyuv.h>
#include <turbojpeg.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Render/FrameFile.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Media/MediaLog.hpp"
#include "HelperPlatform/Render/PictureSource.hpp"

extern "C" {
#include <libavutil/opt.h>
}

namespace tavrel::testing {

/// A BGRA picture a test draws, rows of 4 x width bytes.
struct Painting {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    Painting(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4) {}

    void fill(int left, int top, int w, int h, std::array<std::uint8_t, 3> rgb) {
        for (int y = top; y < top + h; ++y) {
            for (int x = left; x < left + w; ++x) {
                std::uint8_t* pixel = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
                pixel[0] = rgb[2];
                pixel[1] = rgb[1];
                pixel[2] = rgb[0];
                pixel[3] = 255;
            }
        }
    }
};

using Painter = std::function<void(int index, Painting& painting)>;

/// Writes frame files the way the recorder does.
class FrameFileWriter {
  public:
    explicit FrameFileWriter(const std::string& path) : file_(path, std::ios::binary) {
        file_.write(reinterpret_cast<const char*>(FrameFile::magic.data()),
                    FrameFile::magic.size());
    }
    void add(FrameFile::Kind kind, double time, const Bytes& data) {
        const Bytes bytes = FrameFile::encode({kind, time, data});
        file_.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
    }
    void addRaw(const Bytes& bytes) {
        file_.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
    }

  private:
    std::ofstream file_;
};

/// libx264 without delay: each packet is the picture just sent, parameter sets in-band on key
/// frames, as the live stream sends them.
class H264Frames {
  public:
    H264Frames(int width, int height, int keyInterval = 30) {
        quietMediaLibraries();
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) throw std::runtime_error("no libx264");
        context_.reset(avcodec_alloc_context3(codec));
        context_->width = width;
        context_->height = height;
        context_->pix_fmt = AV_PIX_FMT_YUV420P;
        context_->time_base = {1, 1000};
        context_->gop_size = keyInterval;
        context_->max_b_frames = 0;
        context_->bit_rate = 4LL * width * height * 4;
        av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
            throw std::runtime_error("libx264 does not open");
        }
        frame_.reset(av_frame_alloc());
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width;
        frame_->height = height;
        av_frame_get_buffer(frame_.get(), 0);
    }

    Bytes encode(const Painting& painting, std::int64_t pts) {
        av_frame_make_writable(frame_.get());
        libyuv::ARGBToI420(painting.pixels.data(), painting.width * 4, frame_->data[0],
                           frame_->linesize[0], frame_->data[1], frame_->linesize[1],
                           frame_->data[2], frame_->linesize[2], painting.width, painting.height);
        frame_->pts = pts;
        if (avcodec_send_frame(context_.get(), frame_.get()) < 0) {
            throw std::runtime_error("libx264 refused a frame");
        }
        AVPacketPtr packet(av_packet_alloc());
        Bytes out;
        while (avcodec_receive_packet(context_.get(), packet.get()) == 0) {
            out.insert(out.end(), packet->data, packet->data + packet->size);
            av_packet_unref(packet.get());
        }
        return out;
    }

  private:
    AVCodecContextPtr context_;
    AVFramePtr frame_;
};

/// A frame file of `count` H.264 frames at `fps`, each painted by `paint`.
inline void writeH264Recording(const std::string& path, int width, int height, int count,
                               double fps, const Painter& paint) {
    FrameFileWriter file(path);
    H264Frames encoder(width, height);
    Painting painting(width, height);
    for (int index = 0; index < count; ++index) {
        paint(index, painting);
        file.add(FrameFile::Kind::h264, index / fps,
                 encoder.encode(painting, static_cast<std::int64_t>(index * 1000 / fps)));
    }
}

inline Bytes jpegOf(const Painting& painting) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, painting.pixels.data(), painting.width, painting.width * 4, painting.height,
                TJPF_BGRA, &jpeg, &size, TJSAMP_444, 95, 0);
    Bytes bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return bytes;
}

/// A frame file of `count` JPEG frames at `fps`.
inline void writeJPEGRecording(const std::string& path, int width, int height, int count,
                               double fps, const Painter& paint) {
    FrameFileWriter file(path);
    Painting painting(width, height);
    for (int index = 0; index < count; ++index) {
        paint(index, painting);
        file.add(FrameFile::Kind::jpeg, index / fps, jpegOf(painting));
    }
}

/// A shell command's standard output (and its exit status, for those that need it).
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    const int result = ::pclose(pipe);
    if (status != nullptr) *status = result;
    return out;
}

/// Frame `index` of a movie or GIF, decoded by ffmpeg, as RGB bytes.
inline std::vector<std::uint8_t> decodedFrame(const std::string& path, int index) {
    const std::string out = commandOutput(
        "ffmpeg -v error -i '" + path + "' -vf 'select=eq(n\\," + std::to_string(index) +
        ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    return std::vector<std::uint8_t>(out.begin(), out.end());
}

}  // namespace tavrel::testing
