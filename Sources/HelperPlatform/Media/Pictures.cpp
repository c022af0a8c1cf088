#include "HelperPlatform/Media/Pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <future>
#include <new>
#include <string>
#include <system_error>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

[[noreturn]] void notDrawn(const std::string& why) {
    throw HelperFailure("the screen could not be drawn: " + why, 502);
}

HelperFailure scaleFailure(int status, const std::string& what) {
    return HelperFailure("the screen could not be scaled (" + std::to_string(status) + "): " + what,
                         502);
}

// Repeats the last column (and row) written so that a picture one pixel narrower (or shorter)
// than the frame fills it.
void padPlane(std::uint8_t* plane, int linesize, int writtenWidth, int writtenHeight, int width,
              int height) {
    if (writtenWidth < 1 || writtenHeight < 1) return;
    if (width > writtenWidth) {
        for (int y = 0; y < writtenHeight; ++y) {
            std::uint8_t* row = plane + static_cast<std::ptrdiff_t>(y) * linesize;
            std::memset(row + writtenWidth, row[writtenWidth - 1], width - writtenWidth);
        }
    }
    for (int y = writtenHeight; y < height; ++y) {
        std::memcpy(plane + static_cast<std::ptrdiff_t>(y) * linesize,
                    plane + static_cast<std::ptrdiff_t>(writtenHeight - 1) * linesize, width);
    }
}

// Even, so that every strip starts on a chroma row.
constexpr int stripRows = 32;

}  // namespace

Pictures::Pictures() = default;

Pictures::~Pictures() = default;

void Pictures::draw(const Surface& surface, AVFrame* into) {
    if (!surface.isReadable()) {
        throw HelperFailure("the screen's surface cannot be read as pixels", 502);
    }
    if (into == nullptr || into->format != AV_PIX_FMT_YUV420P || into->width < 2 ||
        into->height < 2 || into->data[0] == nullptr) {
        throw scaleFailure(-1, "the frame is not a 4:2:0 frame of at least 2x2");
    }
    const int width = into->width;
    const int height = into->height;
    const auto* pixels = surface.pixels();
    const int stride = static_cast<int>(surface.bytesPerRow());

    std::lock_guard lock(transferLock_);
    // A frame of the surface's size rounded to even sides is filled without resampling:
    // scaling 1179 columns to 1180 would only blur the picture and cost a pass.
    if (std::abs(width - surface.width()) <= 1 && std::abs(height - surface.height()) <= 1) {
        const int w = std::min(width, surface.width());
        const int h = std::min(height, surface.height());
        const int status =
            libyuv::ARGBToI420(pixels, stride, into->data[0], into->linesize[0], into->data[1],
                               into->linesize[1], into->data[2], into->linesize[2], w, h);
        if (status != 0) throw scaleFailure(status, "ARGBToI420 failed");
        padPlane(into->data[0], into->linesize[0], w, h, width, height);
        padPlane(into->data[1], into->linesize[1], (w + 1) / 2, (h + 1) / 2, width / 2, height / 2);
        padPlane(into->data[2], into->linesize[2], (w + 1) / 2, (h + 1) / 2, width / 2, height / 2);
        return;
    }
    // Scaled and converted a strip at a time, so the scaled rows are still in cache when they
    // are converted: a quarter faster than two whole passes at phone sizes.
    const int scaledStride = width * 4;
    try {
        if (transferScratch_.size() < static_cast<std::size_t>(scaledStride) * height) {
            transferScratch_.resize(static_cast<std::size_t>(scaledStride) * height);
        }
    } catch (const std::bad_alloc&) {
        throw HelperFailure("this Mac has no VideoToolbox scaler: no memory for a " +
                                std::to_string(width) + "x" + std::to_string(height) + " picture",
                            502);
    }
    const auto convert = [&](const std::uint8_t* strip, int top, int w, int rows) {
        const int status = libyuv::ARGBToI420(
            strip, scaledStride,
            into->data[0] + static_cast<std::ptrdiff_t>(top) * into->linesize[0], into->linesize[0],
            into->data[1] + static_cast<std::ptrdiff_t>(top / 2) * into->linesize[1],
            into->linesize[1],
            into->data[2] + static_cast<std::ptrdiff_t>(top / 2) * into->linesize[2],
            into->linesize[2], w, rows);
        if (status != 0) throw scaleFailure(status, "ARGBToI420 failed");
    };
    // Worth a second thread from about a quarter of a phone screen's pixels.
    const bool large = static_cast<long>(width) * height >= 256 * 1024;
    // Half the size, give or take the odd pixel (1179x2556 to 590x1278): an exact 2:1 box of
    // the even part of the surface is three times faster than a general 1.998:1 box, and the
    // odd column or row left over is filled from its neighbour.
    const int halfWidth = surface.width() / 2;
    const int halfHeight = surface.height() / 2;
    if (std::abs(width - halfWidth) <= 1 && std::abs(height - halfHeight) <= 1) {
        const int w = std::min(width, halfWidth);
        const int h = std::min(height, halfHeight);
        forEachStrip(h, large, [&](int top, int rows) {
            std::uint8_t* strip =
                transferScratch_.data() + static_cast<std::ptrdiff_t>(top) * scaledStride;
            const int status = libyuv::ARGBScale(
                pixels + static_cast<std::ptrdiff_t>(top) * 2 * stride, stride, w * 2, rows * 2,
                strip, scaledStride, w, rows, libyuv::kFilterBox);
            if (status != 0) throw scaleFailure(status, "ARGBScale failed");
            convert(strip, top, w, rows);
        });
        padPlane(into->data[0], into->linesize[0], w, h, width, height);
        padPlane(into->data[1], into->linesize[1], (w + 1) / 2, (h + 1) / 2, width / 2, height / 2);
        padPlane(into->data[2], into->linesize[2], (w + 1) / 2, (h + 1) / 2, width / 2, height / 2);
        return;
    }
    forEachStrip(height, large, [&](int top, int rows) {
        std::uint8_t* strip =
            transferScratch_.data() + static_cast<std::ptrdiff_t>(top) * scaledStride;
        const int status = libyuv::ARGBScaleClip(pixels, stride, surface.width(), surface.height(),
                                                 transferScratch_.data(), scaledStride, width,
                                                 height, 0, top, width, rows, libyuv::kFilterBox);
        if (status != 0) throw scaleFailure(status, "ARGBScaleClip failed");
        convert(strip, top, width, rows);
    });
}

void Pictures::forEachStrip(int height, bool large, const std::function<void(int, int)>& strip) {
    const auto strips = [&](int from, int to) {
        for (int top = from; top < to; top += stripRows) strip(top, std::min(stripRows, to - top));
    };
    if (!large) return strips(0, height);
    if (!drawThread_) {
        try {
            drawThread_ = std::make_unique<SerialQueue>("tavrel.draw");
        } catch (const std::system_error&) {
            return strips(0, height);  // no thread to be had: one is enough
        }
    }
    // A whole number of strips, so that every strip still starts on a chroma row.
    const int split = (height / 2 + stripRows - 1) / stripRows * stripRows;
    std::packaged_task<void()> firstHalf([&] { strips(0, split); });
    auto helped = firstHalf.get_future();
    if (!drawThread_->async([&] { firstHalf(); })) return strips(0, height);
    std::exception_ptr ownFailure;
    try {
        strips(split, height);
    } catch (...) {
        ownFailure = std::current_exception();
    }
    helped.wait();  // the helper writes into the frame and the scratch buffer: never leave early
    if (ownFailure) std::rethrow_exception(ownFailure);
    helped.get();  // rethrows the helper's failure
}

JPEG Pictures::jpeg(const Surface& surface, const ScreenshotPlan& plan) {
    const auto& source = plan.source;
    if (!surface.isReadable()) notDrawn("the surface cannot be read as pixels");
    const bool inside = source.x >= 0 && source.y >= 0 && source.width >= 1 && source.height >= 1 &&
                        source.x + source.width <= surface.width() &&
                        source.y + source.height <= surface.height();
    if (!inside) {
        notDrawn("the rectangle " + std::to_string(source.x) + "," + std::to_string(source.y) +
                 " " + std::to_string(source.width) + "x" + std::to_string(source.height) +
                 " is not inside the " + std::to_string(surface.width()) + "x" +
                 std::to_string(surface.height()) + " surface");
    }
    if (plan.width < 1 || plan.height < 1 || plan.width > 65535 || plan.height > 65535) {
        notDrawn("a JPEG cannot be " + std::to_string(plan.width) + "x" +
                 std::to_string(plan.height));
    }
    const int width = static_cast<int>(plan.width);
    const int height = static_cast<int>(plan.height);
    const int quality = std::clamp(static_cast<int>(std::lround(plan.quality * 100)), 1, 100);

    std::lock_guard lock(jpegLock_);
    if (!compressor_) {
        compressor_.reset(tjInitCompress());
        if (!compressor_) {
            throw HelperFailure(std::string("ImageIO cannot write JPEG here: tjInitCompress "
                                            "failed (") +
                                    turboJPEGReason(nullptr) + ")",
                                502);
        }
    }
    // Cropping is pointer arithmetic; an output of the crop's own size is not resampled.
    const std::uint8_t* pixels = surface.pixels() + source.y * surface.bytesPerRow() + source.x * 4;
    int stride = static_cast<int>(surface.bytesPerRow());
    if (width != source.width || height != source.height) {
        const std::size_t scaledStride = static_cast<std::size_t>(width) * 4;
        try {
            if (jpegScratch_.size() < scaledStride * height) {
                jpegScratch_.resize(scaledStride * height);
            }
        } catch (const std::bad_alloc&) {
            notDrawn("no memory for a " + std::to_string(width) + "x" + std::to_string(height) +
                     " picture");
        }
        const int status = libyuv::ARGBScale(
            pixels, stride, static_cast<int>(source.width), static_cast<int>(source.height),
            jpegScratch_.data(), static_cast<int>(scaledStride), width, height, libyuv::kFilterBox);
        if (status != 0) notDrawn("ARGBScale failed (" + std::to_string(status) + ")");
        pixels = jpegScratch_.data();
        stride = static_cast<int>(scaledStride);
    }
    const unsigned long needed = tjBufSize(width, height, TJSAMP_420);
    if (needed == static_cast<unsigned long>(-1)) {
        throw HelperFailure(std::string("the screen could not be written as JPEG: tjBufSize "
                                        "failed (") +
                                turboJPEGReason(nullptr) + ")",
                            502);
    }
    if (jpegCapacity_ < needed) {
        jpegBuffer_.reset();
        jpegCapacity_ = 0;
        jpegBuffer_.reset(tjAlloc(static_cast<int>(needed)));
        if (!jpegBuffer_) {
            throw HelperFailure("ImageIO cannot write JPEG here: tjAlloc failed (no memory for " +
                                    std::to_string(needed) + " bytes)",
                                502);
        }
        jpegCapacity_ = needed;
    }
    unsigned long size = jpegCapacity_;
    unsigned char* buffer = jpegBuffer_.get();
    // With TJFLAG_NOREALLOC the buffer stays the one given.
    if (tjCompress2(compressor_.get(), pixels, width, stride, height, TJPF_BGRA, &buffer, &size,
                    TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0) {
        throw HelperFailure(std::string("the screen could not be written as JPEG: tjCompress2 "
                                        "failed (") +
                                turboJPEGReason(compressor_.get()) + ")",
                            502);
    }
    return JPEG{Bytes(buffer, buffer + size), plan.width, plan.height};
}

}  // namespace tavrel
