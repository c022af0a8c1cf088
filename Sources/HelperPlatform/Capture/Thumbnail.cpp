#include "HelperPlatform/Capture/Thumbnail.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "HelperPlatform/Media/AVOwners.hpp"
#include "HelperPlatform/Media/TurboJPEG.hpp"

namespace tavrel::Thumbnails {

namespace {

// Larger pictures are refused rather than decoded: a reference is a screenshot.
constexpr int largestSide = 1 << 14;

struct FormatClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct ScaleFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

std::optional<std::vector<std::uint8_t>> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::optional<Thumbnail> ofJPEG(const std::vector<std::uint8_t>& bytes) {
    TurboJPEGHandle handle(tjInitDecompress());
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes.data(), bytes.size(), &width, &height, &subsampling,
                            &colorspace) != 0)
        return std::nullopt;
    if (width < 1 || height < 1 || width > largestSide || height > largestSide) return std::nullopt;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
    if (tjDecompress2(handle.get(), bytes.data(), bytes.size(), pixels.data(), width, width * 4,
                      height, TJPF_BGRA, 0) != 0)
        return std::nullopt;
    return ofPixels(pixels.data(), width, height, std::size_t(width) * 4);
}

std::optional<Thumbnail> ofImageFile(const std::string& path) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) != 0) return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatClose> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return std::nullopt;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return std::nullopt;
    const auto* parameters = format->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return std::nullopt;
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0 ||
        avcodec_open2(context.get(), codec, nullptr) < 0)
        return std::nullopt;
    AVPacketPtr packet(av_packet_alloc());
    AVFramePtr frame(av_frame_alloc());
    if (!packet || !frame) return std::nullopt;
    bool decoded = false;
    while (!decoded && av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(context.get(), packet.get()) >= 0)
            decoded = avcodec_receive_frame(context.get(), frame.get()) == 0;
        av_packet_unref(packet.get());
    }
    if (!decoded) {
        avcodec_send_packet(context.get(), nullptr);
        decoded = avcodec_receive_frame(context.get(), frame.get()) == 0;
    }
    if (!decoded) return std::nullopt;
    const int width = frame->width, height = frame->height;
    if (width < 1 || height < 1 || width > largestSide || height > largestSide) return std::nullopt;
    // Whatever the file's pixel format, once into BGRA; the squeeze is then the screen's own.
    std::unique_ptr<SwsContext, ScaleFree> convert(
        sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                       AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr));
    if (!convert) return std::nullopt;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
    std::uint8_t* planes[4] = {pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {width * 4, 0, 0, 0};
    if (sws_scale(convert.get(), frame->data, frame->linesize, 0, height, planes, strides) !=
        height)
        return std::nullopt;
    return ofPixels(pixels.data(), width, height, std::size_t(width) * 4);
}

}  // namespace

std::optional<Thumbnail> ofPixels(const std::uint8_t* pixels, int width, int height,
                                  std::size_t bytesPerRow) {
    if (!pixels || width < 1 || height < 1 || bytesPerRow < std::size_t(width) * 4)
        return std::nullopt;
    std::array<std::uint8_t, Likeness::size * 4> small{};
    if (libyuv::ARGBScale(pixels, int(bytesPerRow), width, height, small.data(),
                          Likeness::width * 4, Likeness::width, Likeness::height,
                          libyuv::kFilterBox) != 0)
        return std::nullopt;
    Thumbnail grey(Likeness::size);
    if (libyuv::ARGBToJ400(small.data(), Likeness::width * 4, grey.data(), Likeness::width,
                           Likeness::width, Likeness::height) != 0)
        return std::nullopt;
    return grey;
}

std::optional<Thumbnail> of(const std::string& file) {
    auto bytes = readFile(file);
    if (!bytes || bytes->size() < 3) return std::nullopt;
    if ((*bytes)[0] == 0xFF && (*bytes)[1] == 0xD8 && (*bytes)[2] == 0xFF) return ofJPEG(*bytes);
    return ofImageFile(file);
}

std::optional<Thumbnail> of(const Picture& picture) {
    if (!picture.surface || !picture.surface->isReadable()) return std::nullopt;
    const auto& surface = *picture.surface;
    return ofPixels(surface.pixels(), surface.width(), surface.height(), surface.bytesPerRow());
}

}  // namespace tavrel::Thumbnails
