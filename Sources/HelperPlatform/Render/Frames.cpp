#include "HelperPlatform/Render/Frames.hpp"

#include <cairo.h>
#include <libyuv.h>

#include <algorithm>
#include <new>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Render/TouchPainter.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace tavrel {
namespace {

[[noreturn]] void cannotConvert(const std::string& why) {
    throw HelperFailure("a recorded picture cannot be converted: " + why, 502);
}

// libyuv says no more than that a call failed.
void checkYUV(int status, const char* call) {
    if (status != 0) cannotConvert(std::string(call) + " failed (" + std::to_string(status) + ")");
}

void checkCairo(cairo_status_t status, const char* call) {
    if (status != CAIRO_STATUS_SUCCESS) {
        cannotConvert(std::string(call) + " failed (" + cairo_status_to_string(status) + ")");
    }
}

std::string avReason(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(status, text, sizeof text) < 0 || text[0] == '\0') return "no reason";
    return text;
}

[[noreturn]] void noBufferFree() {
    throw HelperFailure("the MP4 has no pixel buffer free", 502);
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
    checkYUV(libyuv::I420ToARGBMatrix(y, yStride, u, uStride, v, vStride, into.pixels.data(),
                                      into.stride(), matrix, into.width, into.height),
             "I420ToARGBMatrix");
}

struct CairoDestroy {
    void operator()(cairo_t* context) const { cairo_destroy(context); }
};

// Draws the marks over BGRA pixels whose top-left corner is (left, top) of a picture of
// width x height. Cairo's ARGB32 is BGRA in memory on this little-endian machine; the picture
// is opaque, so premultiplied and straight alpha agree.
void drawMarks(std::uint8_t* pixels, int tileWidth, int tileHeight, int left, int top,
               const std::vector<TouchMark>& marks, int width, int height) {
    CairoSurfacePtr surface(cairo_image_surface_create_for_data(
        pixels, CAIRO_FORMAT_ARGB32, tileWidth, tileHeight, 4 * tileWidth));
    checkCairo(cairo_surface_status(surface.get()), "cairo_image_surface_create_for_data");
    std::unique_ptr<cairo_t, CairoDestroy> context(cairo_create(surface.get()));
    checkCairo(cairo_status(context.get()), "cairo_create");
    cairo_translate(context.get(), -left, -top);
    TouchPainter::draw(context.get(), marks, width, height);
    checkCairo(cairo_status(context.get()), "drawing the touch marks");
    context.reset();
    cairo_surface_flush(surface.get());
    checkCairo(cairo_surface_status(surface.get()), "cairo_surface_flush");
}

// A new frame that shares the picture's pixel buffers and none of its other properties (a
// decoder's picture type would otherwise steer the encoder); null when they are not shared.
AVFramePtr sharedPixels(const AVFrame& picture) {
    if (picture.buf[0] == nullptr || picture.extended_buf != nullptr) return nullptr;
    AVFramePtr frame(av_frame_alloc());
    if (!frame) noBufferFree();
    frame->format = picture.format;
    frame->width = picture.width;
    frame->height = picture.height;
    for (int index = 0; index < AV_NUM_DATA_POINTERS; ++index) {
        if (picture.buf[index] != nullptr) {
            frame->buf[index] = av_buffer_ref(picture.buf[index]);
            if (frame->buf[index] == nullptr) noBufferFree();
        }
        frame->data[index] = picture.data[index];
        frame->linesize[index] = picture.linesize[index];
    }
    return frame;
}

void tagMovieColours(AVFrame& frame) {
    frame.colorspace = AVCOL_SPC_SMPTE170M;
    frame.color_range = AVCOL_RANGE_MPEG;
}

}  // namespace

bool inMovieColours(const AVFrame& picture) {
    return picture.format == AV_PIX_FMT_YUV420P && picture.color_range != AVCOL_RANGE_JPEG &&
           (picture.colorspace == AVCOL_SPC_UNSPECIFIED ||
            picture.colorspace == AVCOL_SPC_SMPTE170M || picture.colorspace == AVCOL_SPC_BT470BG);
}

Frames::~Frames() {
    sws_freeContext(converter_);
}

void Frames::scale(const AVFrame& picture, Canvas& into) {
    const bool same = picture.width == into.width && picture.height == into.height;
    if (picture.format == AV_PIX_FMT_BGRA) {
        checkYUV(libyuv::ARGBScale(picture.data[0], picture.linesize[0], picture.width,
                                   picture.height, into.pixels.data(), into.stride(), into.width,
                                   into.height, libyuv::kFilterBox),
                 "ARGBScale");
        return;
    }
    if (picture.format == AV_PIX_FMT_YUV420P || picture.format == AV_PIX_FMT_YUVJ420P) {
        if (same) {
            i420ToBGRA(picture.data[0], picture.linesize[0], picture.data[1], picture.linesize[1],
                       picture.data[2], picture.linesize[2], picture, into);
            return;
        }
        // Scaled before it is turned into BGRA, so a small output converts few pixels.
        const int chromaWidth = (into.width + 1) / 2;
        const int chromaHeight = (into.height + 1) / 2;
        const std::size_t lumaSize = static_cast<std::size_t>(into.width) * into.height;
        const std::size_t chromaSize = static_cast<std::size_t>(chromaWidth) * chromaHeight;
        planes_.resize(lumaSize + 2 * chromaSize);
        std::uint8_t* y = planes_.data();
        std::uint8_t* u = y + lumaSize;
        std::uint8_t* v = u + chromaSize;
        checkYUV(libyuv::I420Scale(picture.data[0], picture.linesize[0], picture.data[1],
                                   picture.linesize[1], picture.data[2], picture.linesize[2],
                                   picture.width, picture.height, y, into.width, u, chromaWidth, v,
                                   chromaWidth, into.width, into.height, libyuv::kFilterBox),
                 "I420Scale");
        i420ToBGRA(y, into.width, u, chromaWidth, v, chromaWidth, picture, into);
        return;
    }
    converter_ = sws_getCachedContext(
        converter_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
        into.width, into.height, AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    if (converter_ == nullptr) cannotConvert("sws_getCachedContext found no conversion");
    std::uint8_t* planes[4] = {into.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {into.stride(), 0, 0, 0};
    const int rows =
        sws_scale(converter_, picture.data, picture.linesize, 0, picture.height, planes, strides);
    if (rows < 0) cannotConvert("sws_scale failed (" + avReason(rows) + ")");
    if (rows != into.height) {
        cannotConvert("sws_scale failed (" + std::to_string(rows) + " of " +
                      std::to_string(into.height) + " rows)");
    }
}

void Frames::compose(const AVFrame& picture, const std::vector<RecordedTouch>& touches, double time,
                     int width, int height, Canvas& into) {
    if (width < 1 || height < 1 || picture.width < 1 || picture.height < 1) {
        cannotConvert("a picture of " + std::to_string(picture.width) + "x" +
                      std::to_string(picture.height) + " to " + std::to_string(width) + "x" +
                      std::to_string(height));
    }
    into.width = width;
    into.height = height;
    try {
        into.pixels.resize(static_cast<std::size_t>(into.stride()) * height);
    } catch (const std::bad_alloc&) {
        cannotConvert("no memory for a " + std::to_string(width) + "x" + std::to_string(height) +
                      " picture");
    }
    scale(picture, into);
    const auto marks = TouchMarks::at(touches, time);
    if (marks.empty()) return;
    drawMarks(into.pixels.data(), width, height, 0, 0, marks, width, height);
}

AVFramePtr Frames::blankMovieFrame(int width, int height) {
    const bool reusable = frame_ && frame_->width == width && frame_->height == height &&
                          av_frame_is_writable(frame_.get()) > 0;
    if (!reusable) {
        frame_.reset(av_frame_alloc());
        if (!frame_) noBufferFree();
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width;
        frame_->height = height;
        tagMovieColours(*frame_);
        if (av_frame_get_buffer(frame_.get(), 0) < 0) {
            frame_.reset();
            noBufferFree();
        }
    }
    AVFramePtr frame(av_frame_clone(frame_.get()));
    if (!frame) noBufferFree();
    return frame;
}

void Frames::drawMarksOnTile(AVFrame& frame, const std::vector<TouchMark>& marks) {
    const PixelRectangle area = TouchPainter::bounds(marks, frame.width, frame.height);
    if (area.empty()) return;
    // Even corners, so the tile's chroma samples are the frame's own.
    const int left = area.left & ~1;
    const int top = area.top & ~1;
    const int right = std::min(frame.width, (area.left + area.width + 1) & ~1);
    const int bottom = std::min(frame.height, (area.top + area.height + 1) & ~1);
    const int width = right - left;
    const int height = bottom - top;
    try {
        tile_.resize(static_cast<std::size_t>(width) * height * 4);
    } catch (const std::bad_alloc&) {
        cannotConvert("no memory for a " + std::to_string(width) + "x" + std::to_string(height) +
                      " tile");
    }
    std::uint8_t* y = frame.data[0] + static_cast<std::ptrdiff_t>(top) * frame.linesize[0] + left;
    std::uint8_t* u =
        frame.data[1] + static_cast<std::ptrdiff_t>(top / 2) * frame.linesize[1] + left / 2;
    std::uint8_t* v =
        frame.data[2] + static_cast<std::ptrdiff_t>(top / 2) * frame.linesize[2] + left / 2;
    checkYUV(libyuv::I420ToARGBMatrix(y, frame.linesize[0], u, frame.linesize[1], v,
                                      frame.linesize[2], tile_.data(), 4 * width,
                                      &libyuv::kYuvI601Constants, width, height),
             "I420ToARGBMatrix");
    drawMarks(tile_.data(), width, height, left, top, marks, frame.width, frame.height);
    checkYUV(libyuv::ARGBToI420(tile_.data(), 4 * width, y, frame.linesize[0], u, frame.linesize[1],
                                v, frame.linesize[2], width, height),
             "ARGBToI420");
}

AVFramePtr Frames::movieFrame(const AVFrame& picture, const std::vector<RecordedTouch>& touches,
                              double time, int width, int height) {
    if (!inMovieColours(picture)) {
        compose(picture, touches, time, width, height, canvas_);
        AVFramePtr frame = blankMovieFrame(width, height);
        checkYUV(libyuv::ARGBToI420(canvas_.pixels.data(), canvas_.stride(), frame->data[0],
                                    frame->linesize[0], frame->data[1], frame->linesize[1],
                                    frame->data[2], frame->linesize[2], width, height),
                 "ARGBToI420");
        return frame;
    }
    if (width < 1 || height < 1 || picture.width < 1 || picture.height < 1) {
        cannotConvert("a picture of " + std::to_string(picture.width) + "x" +
                      std::to_string(picture.height) + " to " + std::to_string(width) + "x" +
                      std::to_string(height));
    }
    const auto marks = TouchMarks::at(touches, time);
    const bool same = picture.width == width && picture.height == height;
    if (same && marks.empty()) {
        if (AVFramePtr shared = sharedPixels(picture)) {
            tagMovieColours(*shared);
            return shared;
        }
    }
    AVFramePtr frame = blankMovieFrame(width, height);
    if (same) {
        checkYUV(
            libyuv::I420Copy(picture.data[0], picture.linesize[0], picture.data[1],
                             picture.linesize[1], picture.data[2], picture.linesize[2],
                             frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                             frame->data[2], frame->linesize[2], width, height),
            "I420Copy");
    } else {
        checkYUV(libyuv::I420Scale(
                     picture.data[0], picture.linesize[0], picture.data[1], picture.linesize[1],
                     picture.data[2], picture.linesize[2], picture.width, picture.height,
                     frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                     frame->data[2], frame->linesize[2], width, height, libyuv::kFilterBox),
                 "I420Scale");
    }
    if (!marks.empty()) drawMarksOnTile(*frame, marks);
    return frame;
}

}  // namespace tavrel
