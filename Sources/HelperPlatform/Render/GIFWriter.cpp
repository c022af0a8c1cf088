#include "HelperPlatform/Render/GIFWriter.hpp"

#include <gif_lib.h>
#include <libimagequant.h>
#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/Ticks.hpp"
#include "HelperPlatform/Render/Frames.hpp"
#include "HelperPlatform/Render/OutputFile.hpp"

namespace tavrel::GIFWriter {
namespace {

// The longest delay one frame can carry, in hundredths of a second.
constexpr long longestDelay = 0xFFFF;
// libimagequant trades palette quality for time from 1 to 10; 8 keeps gradients smooth with
// dithering at a fraction of the default's time.
constexpr int quantiserSpeed = 8;
// The palette stops growing once the frame looks this good (of 100): a frame of a few flat
// colours and a fading mark needs a small table, not 256 entries of dithering noise, and
// its pixels compress several times better. Gradients still get as many as they need.
constexpr int quality = 95;

[[noreturn]] void notWritten() {
    throw HelperFailure("the GIF could not be written", 502);
}

struct Rectangle {
    int left = 0, top = 0, width = 0, height = 0;
};

// The smallest rectangle outside which `now` equals `before`; empty when they are equal.
Rectangle changed(const Canvas& before, const Canvas& now) {
    const int stride = now.stride();
    auto row = [&](const Canvas& canvas, int y) { return canvas.pixels.data() + y * stride; };
    int top = 0;
    while (top < now.height && std::memcmp(row(before, top), row(now, top), stride) == 0) ++top;
    if (top == now.height) return {};
    int bottom = now.height - 1;
    while (std::memcmp(row(before, bottom), row(now, bottom), stride) == 0) --bottom;
    int left = now.width;
    int right = -1;
    for (int y = top; y <= bottom; ++y) {
        const auto* a = reinterpret_cast<const std::uint32_t*>(row(before, y));
        const auto* b = reinterpret_cast<const std::uint32_t*>(row(now, y));
        int x = 0;
        while (x < left && a[x] == b[x]) ++x;
        left = std::min(left, x);
        int end = now.width - 1;
        while (end > right && a[end] == b[end]) --end;
        right = std::max(right, end);
    }
    return {left, top, right - left + 1, bottom - top + 1};
}

struct LiqAttrFree {
    void operator()(liq_attr* attr) const { liq_attr_destroy(attr); }
};
struct LiqImageFree {
    void operator()(liq_image* image) const { liq_image_destroy(image); }
};
struct LiqResultFree {
    void operator()(liq_result* result) const { liq_result_destroy(result); }
};
struct ColorMapFree {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

// giflib's file in streaming mode: the screen, the loop, then one image after another.
class GifStream {
  public:
    GifStream(const std::string& path, int width, int height) : width_(width), height_(height) {
        int error = 0;
        gif_ = EGifOpenFileName(path.c_str(), false, &error);
        if (gif_ == nullptr) throw HelperFailure("ImageIO cannot write a GIF here", 502);
        EGifSetGifVersion(gif_, true);
        if (EGifPutScreenDesc(gif_, width, height, 8, 0, nullptr) == GIF_ERROR) notWritten();
        // NETSCAPE2.0, loop count 0: for ever.
        const unsigned char loop[3] = {1, 0, 0};
        if (EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 11, "NETSCAPE2.0") == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 3, loop) == GIF_ERROR ||
            EGifPutExtensionTrailer(gif_) == GIF_ERROR) {
            notWritten();
        }
        attr_.reset(liq_attr_create());
        if (!attr_) notWritten();
        liq_set_speed(attr_.get(), quantiserSpeed);
        if (liq_set_quality(attr_.get(), 0, quality) != LIQ_OK) notWritten();
    }

    ~GifStream() {
        if (gif_ != nullptr) EGifCloseFile(gif_, nullptr);
    }
    GifStream(const GifStream&) = delete;
    GifStream& operator=(const GifStream&) = delete;

    /// Stores the rectangle of `canvas`, shown for `hundredths`. Pixels that have not changed
    /// since `before` (the frame stored last, if any) are transparent: the screen keeps showing
    /// them as they were, dithering cannot make them flicker, and their runs compress to
    /// almost nothing. They take no part in choosing the frame's palette either.
    void put(const Canvas& canvas, Rectangle area, long hundredths, const Canvas* before) {
        rgba_.resize(static_cast<std::size_t>(area.width) * area.height * 4);
        const std::uint8_t* corner = canvas.pixels.data() +
                                     static_cast<std::size_t>(area.top) * canvas.stride() +
                                     static_cast<std::size_t>(area.left) * 4;
        // BGRA to the RGBA libimagequant reads.
        libyuv::ARGBToABGR(corner, canvas.stride(), rgba_.data(), area.width * 4, area.width,
                           area.height);
        if (before != nullptr) clearUnchanged(*before, canvas, area);
        std::unique_ptr<liq_image, LiqImageFree> image(
            liq_image_create_rgba(attr_.get(), rgba_.data(), area.width, area.height, 0));
        if (!image) notWritten();
        if (before != nullptr &&
            liq_image_add_fixed_color(image.get(), liq_color{0, 0, 0, 0}) != LIQ_OK) {
            notWritten();
        }
        liq_result* raw = nullptr;
        if (liq_image_quantize(image.get(), attr_.get(), &raw) != LIQ_OK) notWritten();
        std::unique_ptr<liq_result, LiqResultFree> result(raw);
        liq_set_dithering_level(result.get(), 1.0f);
        indices_.resize(static_cast<std::size_t>(area.width) * area.height);
        if (liq_write_remapped_image(result.get(), image.get(), indices_.data(), indices_.size()) !=
            LIQ_OK) {
            notWritten();
        }
        const liq_palette* palette = liq_get_palette(result.get());
        int transparent = NO_TRANSPARENT_COLOR;
        int size = 2;
        while (size < static_cast<int>(palette->count)) size *= 2;
        std::unique_ptr<ColorMapObject, ColorMapFree> map(GifMakeMapObject(size, nullptr));
        if (!map) notWritten();
        for (int index = 0; index < size; ++index) {
            const bool used = index < static_cast<int>(palette->count);
            const liq_color colour = used ? palette->entries[index] : liq_color{0, 0, 0, 255};
            if (used && colour.a == 0) transparent = index;
            map->Colors[index] = GifColorType{colour.r, colour.g, colour.b};
        }
        if (before != nullptr && transparent != NO_TRANSPARENT_COLOR) keepUnchanged(transparent);
        putImage(area, map.get(), indices_.data(), std::min(hundredths, longestDelay), transparent);
        // A delay too long for one frame goes on in invisible one-pixel frames.
        for (hundredths -= longestDelay; hundredths > 0; hundredths -= longestDelay) {
            const GifColorType clear[2] = {{0, 0, 0}, {0, 0, 0}};
            std::unique_ptr<ColorMapObject, ColorMapFree> two(GifMakeMapObject(2, clear));
            if (!two) notWritten();
            GifPixelType invisible = 0;
            putImage({0, 0, 1, 1}, two.get(), &invisible, std::min(hundredths, longestDelay), 0);
        }
    }

    void close() {
        GifFileType* gif = std::exchange(gif_, nullptr);
        if (EGifCloseFile(gif, nullptr) == GIF_ERROR) notWritten();
    }

  private:
    // Makes the pixels of `area` that `now` has in common with `before` transparent in rgba_
    // (the composed pictures are opaque, so alpha 0 marks exactly these).
    void clearUnchanged(const Canvas& before, const Canvas& now, Rectangle area) {
        std::uint8_t* out = rgba_.data();
        for (int y = 0; y < area.height; ++y) {
            const std::size_t offset = static_cast<std::size_t>(area.top + y) * now.stride() +
                                       static_cast<std::size_t>(area.left) * 4;
            const std::uint8_t* a = before.pixels.data() + offset;
            const std::uint8_t* b = now.pixels.data() + offset;
            for (int x = 0; x < area.width; ++x, a += 4, b += 4, out += 4) {
                if (std::memcmp(a, b, 4) == 0) std::memset(out, 0, 4);
            }
        }
    }

    // Dithering may spill into the transparent pixels or out of them; neither may change what
    // the screen shows.
    void keepUnchanged(int transparent) {
        for (std::size_t index = 0; index < indices_.size(); ++index) {
            if (rgba_[4 * index + 3] == 0) indices_[index] = static_cast<GifPixelType>(transparent);
        }
    }

    void putImage(Rectangle area, ColorMapObject* map, GifPixelType* pixels, long hundredths,
                  int transparent) {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSE_DO_NOT;
        control.UserInputFlag = false;
        control.DelayTime = static_cast<int>(hundredths);
        control.TransparentColor = transparent;
        GifByteType extension[4];
        const auto length = EGifGCBToExtension(&control, extension);
        if (EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) ==
                GIF_ERROR ||
            EGifPutImageDesc(gif_, area.left, area.top, area.width, area.height, false, map) ==
                GIF_ERROR ||
            EGifPutLine(gif_, pixels, area.width * area.height) == GIF_ERROR) {
            notWritten();
        }
    }

    GifFileType* gif_ = nullptr;
    int width_;
    int height_;
    std::unique_ptr<liq_attr, LiqAttrFree> attr_;
    std::vector<std::uint8_t> rgba_;
    std::vector<GifPixelType> indices_;
};

}  // namespace

RenderedFile write(PictureSource& pictures, const RenderJob& job, const std::string& path,
                   const RenderProgress& progress) {
    const auto [width, height] =
        renderedSize(pictures.width(), pictures.height(), static_cast<int>(job.gifWidth));
    const Ticks ticks = Ticks::make(pictures.duration(), job.speed, job.gifFps);
    const double delay = 1.0 / static_cast<double>(ticks.fps);
    OutputFile file(path, [](const std::string&) {
        return HelperFailure("ImageIO cannot write a GIF here", 502);
    });
    GifStream gif(file.temporaryPath(), width, height);

    // Three pictures in hand: the one being made, the one waiting for its delay to be known,
    // and the last one stored, against which the waiting one's changed rectangle is found.
    Frames frames;
    Canvas next, pending, stored;
    std::optional<double> pendingDelay;
    bool anyStored = false;
    double elapsed = 0;
    long hundredthsStored = 0;
    auto store = [&] {
        elapsed += *pendingDelay;
        const long hundredths = std::lround(elapsed * 100) - hundredthsStored;
        hundredthsStored += hundredths;
        Rectangle area{0, 0, width, height};
        if (anyStored) {
            area = changed(stored, pending);
            if (area.width == 0) area = {0, 0, 1, 1};
        }
        gif.put(pending, area, hundredths, anyStored ? &stored : nullptr);
        std::swap(stored, pending);
        anyStored = true;
    };

    const auto total = static_cast<std::size_t>(ticks.count);
    for (std::size_t index = 0; index < total; ++index) {
        const double source = ticks.at(static_cast<std::int64_t>(index)).source;
        if (const RecordedPicture picture = pictures.picture(source)) {
            frames.compose(*picture, job.touches, source, width, height, next);
            if (pendingDelay && next.pixels == pending.pixels) {
                *pendingDelay += delay;
            } else {
                if (pendingDelay) store();
                std::swap(pending, next);
                pendingDelay = delay;
            }
        }
        if (progress) progress(index + 1, total);
    }
    // A GIF of no images would show nothing; the temporary file goes with `file`.
    if (!pendingDelay) throw HelperFailure("the recording took no pictures", 502);
    store();
    gif.close();
    file.commit();
    return RenderedFile{path, "gif", width, height, ticks.length()};
}

}  // namespace tavrel::GIFWriter
