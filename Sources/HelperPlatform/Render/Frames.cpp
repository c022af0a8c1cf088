#include "HelperPlatform/Render/Frames.hpp"

#include <cairo.h>
#include <libyuv.h>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/TouchMarks.hpp"
#include "HelperPlatform/Render/TouchPainter.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace tavrel {
namespace {

[[noreturn]] void cannotConvert() {
    throw HelperFailure("a recorded picture cannot be converted", 502);
}

// 4:2:0 to BGRA with the matrix and range the picture is tagged with (BT.601 when untagged,
// which is what the helper's own stream encodes).
void i420ToBGRA(const std::uint8_t* y, int yStride, const std::uint8_t* u, int uStride,
                const std::uint8_t* v, int vStride, const AVFrame& picture, Canvas& into) {
    const bool full =
        picture.format == AV_PIX_FMT_YUVJ420P || picture.color_range == AVCOL_RANGE_JPEG;
    const bool bt709 = picture.colorspace == AVCOL_SPC_BT709;
    const libyuv::YuvConstants* matrix =
        full    ? (bt709 ? &libyuv::kYuvF709Constants : &libyuv::kYuvJPEGConstants)
        : bt709 ? &libyuv::kYuvH709Constants
                : &libyuv::kYuvI601Constants;
    libyuv::I420ToARGBMatrix(y, yStride, u, uStride, v, vStride, into.pixels.data(), into.stride(),
                             matrix, into.width, into.height);
}

}  // namespace

Frames::~Frames() {
    sws_freeContext(converter_);
}

void Frames::scale(const AVFrame& picture, Canvas& into) {
    const bool same = picture.width == into.width && picture.height == into.height;
    if (picture.format == AV_PIX_FMT_BGRA) {
        libyuv::ARGBScale(picture.data[0], picture.linesize[0], picture.width, picture.height,
                          into.pixels.data(), into.stride(), into.width, into.height,
                          libyuv::kFilterBox);
        return;
    }
    if (picture.format == AV_PIX_FMT_YUV420P || picture.format == AV_PIX_FMT_YUVJ420P) {
        if (same) {
            i420ToBGRA(picture.data[0], picture.linesize[0], picture.data[1], picture.linesize[1],
                       picture.data[2], picture.linesize[2], picture, into);
            return;
        }
        const int chromaWidth = (into.width + 1) / 2;
        const int chromaHeight = (into.height + 1) / 2;
        const std::size_t lumaSize = static_cast<std::size_t>(into.width) * into.height;
        const std::size_t chromaSize = static_cast<std::size_t>(chromaWidth) * chromaHeight;
        planes_.resize(lumaSize + 2 * chromaSize);
        std::uint8_t* y = planes_.data();
        std::uint8_t* u = y + lumaSize;
        std::uint8_t* v = u + chromaSize;
        libyuv::I420Scale(picture.data[0], picture.linesize[0], picture.data[1],
                          picture.linesize[1], picture.data[2], picture.linesize[2], picture.width,
                          picture.height, y, into.width, u, chromaWidth, v, chromaWidth, into.width,
                          into.height, libyuv::kFilterBox);
        i420ToBGRA(y, into.width, u, chromaWidth, v, chromaWidth, picture, into);
        return;
    }
    converter_ = sws_getCachedContext(
        converter_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
        into.width, into.height, AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    if (converter_ == nullptr) cannotConvert();
    std::uint8_t* planes[4] = {into.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {into.stride(), 0, 0, 0};
    sws_scale(converter_, picture.data, picture.linesize, 0, picture.height, planes, strides);
}

void Frames::compose(const AVFrame& picture, const std::vector<RecordedTouch>& touches, double time,
                     int width, int height, Canvas& into) {
    if (width < 1 || height < 1 || picture.width < 1 || picture.height < 1) cannotConvert();
    into.width = width;
    into.height = height;
    into.pixels.resize(static_cast<std::size_t>(into.stride()) * height);
    scale(picture, into);
    const auto marks = TouchMarks::at(touches, time);
    if (marks.empty()) return;
    // Cairo's ARGB32 is BGRA in memory on this little-endian machine; the picture is opaque,
    // so premultiplied and straight alpha agree.
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        into.pixels.data(), CAIRO_FORMAT_ARGB32, width, height, into.stride());
    cairo_t* context = cairo_create(surface);
    TouchPainter::draw(context, marks, width, height);
    cairo_destroy(context);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
}

}  // namespace tavrel
