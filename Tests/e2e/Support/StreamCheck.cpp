#include "Support/StreamCheck.hpp"

#include <turbojpeg.h>

#include <fstream>
#include <iterator>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tavrel::e2e {
namespace {

std::string describe(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace

DecodedStream decodeAccessUnits(const std::vector<Bytes>& units) {
    DecodedStream result;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        result.error = "cannot open the decoder";
        return result;
    }
    auto drain = [&] {
        for (;;) {
            const int status = avcodec_receive_frame(context.get(), frame.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
            if (status < 0) {
                if (result.error.empty()) result.error = describe(status);
                return;
            }
            ++result.pictures;
            result.width = frame->width;
            result.height = frame->height;
            av_frame_unref(frame.get());
        }
    };
    for (const auto& unit : units) {
        packet->data = const_cast<std::uint8_t*>(unit.data());
        packet->size = static_cast<int>(unit.size());
        const int status = avcodec_send_packet(context.get(), packet.get());
        if (status < 0 && result.error.empty()) result.error = describe(status);
        drain();
    }
    avcodec_send_packet(context.get(), nullptr);
    drain();
    return result;
}

bool endsWithDelimiter(const Bytes& unit) {
    static const Bytes delimiter{0, 0, 0, 1, 0x09, 0xF0};
    return unit.size() >= delimiter.size() &&
           std::equal(delimiter.begin(), delimiter.end(), unit.end() - 6);
}

std::pair<int, int> jpegSize(const Bytes& jpeg) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    const int status =
        tjDecompressHeader3(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &width,
                            &height, &subsampling, &colorspace);
    // The whole picture is decoded: a header alone does not make a JPEG.
    std::vector<unsigned char> pixels(status == 0 ? static_cast<std::size_t>(width) * height * 4
                                                  : 0);
    const int decoded =
        status == 0 ? tjDecompress2(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                    pixels.data(), width, 0, height, TJPF_BGRA, 0)
                    : -1;
    tjDestroy(handle);
    if (decoded != 0) return {0, 0};
    return {width, height};
}

Bytes readBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace tavrel::e2e
