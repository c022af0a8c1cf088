// The two layouts a render composes in: 4:2:0 for the MP4 against the BGRA the GIF uses.

#include "HelperPlatform/Render/Frames.hpp"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <cstdlib>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Render/TouchMarks.hpp"
#include "HelperPlatform/Render/TouchPainter.hpp"

namespace tavrel {
namespace {

// A 4:2:0 picture with detail in every plane, so that a round trip through BGRA shows.
AVFramePtr patterned(int width, int height, int format = AV_PIX_FMT_YUV420P) {
    AVFramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::runtime_error("no frame");
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->data[0][y * frame->linesize[0] + x] =
                static_cast<std::uint8_t>(16 + (x * 3 + y * 5 + (x * y) % 17) % 220);
        }
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
        for (int x = 0; x < (width + 1) / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] =
                static_cast<std::uint8_t>(60 + (x * 7) % 130);
            frame->data[2][y * frame->linesize[2] + x] =
                static_cast<std::uint8_t>(70 + (y * 5) % 120);
        }
    }
    return frame;
}

// A tap held at 1 s and a person's swipe across the middle, both at full strength at 1.05 s.
const std::vector<RecordedTouch> touches = {
    {1.0, "tap", {{0.3, 0.3}}, 0.1, "agent"},
    {0.9, "swipe", {{0.2, 0.7}, {0.8, 0.6}}, 0.3, "person"},
};
constexpr double marked = 1.05;
constexpr double unmarked = 5;

struct Planes {
    int width, height;
    std::vector<std::uint8_t> y, u, v;
    Planes(int w, int h)
        : width(w),
          height(h),
          y(static_cast<std::size_t>(w) * h),
          u(static_cast<std::size_t>((w + 1) / 2) * ((h + 1) / 2)),
          v(u.size()) {}
    int at(int plane, int x, int row) const {
        if (plane == 0) return y[static_cast<std::size_t>(row) * width + x];
        const auto& chroma = plane == 1 ? u : v;
        return chroma[static_cast<std::size_t>(row) * ((width + 1) / 2) + x];
    }
};

Planes planesOf(const AVFrame& frame) {
    Planes planes(frame.width, frame.height);
    const int cw = (frame.width + 1) / 2;
    libyuv::I420Copy(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1],
                     frame.data[2], frame.linesize[2], planes.y.data(), frame.width,
                     planes.u.data(), cw, planes.v.data(), cw, frame.width, frame.height);
    return planes;
}

// The whole picture composed as BGRA and converted, as the MP4 was made before.
Planes throughBGRA(const AVFrame& picture, double time, int width, int height) {
    Frames frames;
    Canvas canvas;
    frames.compose(picture, touches, time, width, height, canvas);
    Planes planes(width, height);
    const int cw = (width + 1) / 2;
    libyuv::ARGBToI420(canvas.pixels.data(), canvas.stride(), planes.y.data(), width,
                       planes.u.data(), cw, planes.v.data(), cw, width, height);
    return planes;
}

bool inside(const PixelRectangle& area, int x, int y) {
    return x >= area.left && x < area.left + area.width && y >= area.top &&
           y < area.top + area.height;
}

// The marks' rectangle widened to whole chroma samples: what goes through BGRA to be drawn on.
PixelRectangle tileOf(const PixelRectangle& area, int width, int height) {
    if (area.empty()) return {};
    const int left = area.left & ~1;
    const int top = area.top & ~1;
    const int right = std::min(width, (area.left + area.width + 1) & ~1);
    const int bottom = std::min(height, (area.top + area.height + 1) & ~1);
    return {left, top, right - left, bottom - top};
}

TEST(Frames, TheMovieFrameIsTheBGRAPathWhereMarksAreDrawnAndTheRecordingElsewhere) {
    struct Case {
        const char* name;
        int pictureWidth, pictureHeight, width, height;
        double time;
    };
    const Case cases[] = {
        {"same size, marked", 320, 240, 320, 240, marked},
        {"scaled down, marked", 643, 481, 320, 240, marked},
        {"same size, no marks", 320, 240, 320, 240, unmarked},
        {"scaled, no marks", 643, 481, 320, 240, unmarked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AVFramePtr picture = patterned(c.pictureWidth, c.pictureHeight);
        Frames frames;
        const AVFramePtr frame = frames.movieFrame(*picture, touches, c.time, c.width, c.height);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(frame->width, c.width);
        EXPECT_EQ(frame->height, c.height);
        EXPECT_EQ(frame->colorspace, AVCOL_SPC_SMPTE170M);
        EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
        const Planes ours = planesOf(*frame);
        const Planes reference = throughBGRA(*picture, c.time, c.width, c.height);
        // Without marks the samples are the scaled recording's own, not a round trip's.
        const AVFramePtr scaledAlone = frames.movieFrame(*picture, {}, c.time, c.width, c.height);
        const Planes recording = planesOf(*scaledAlone);

        const PixelRectangle area =
            tileOf(TouchPainter::bounds(TouchMarks::at(touches, c.time), c.width, c.height),
                   c.width, c.height);
        EXPECT_EQ(area.empty(), c.time == unmarked);
        int worstInside = 0, changedByMarks = 0, roundTripDiffers = 0;
        for (int plane = 0; plane < 3; ++plane) {
            const int shift = plane == 0 ? 0 : 1;
            for (int y = 0; y < (c.height + shift) >> shift; ++y) {
                for (int x = 0; x < (c.width + shift) >> shift; ++x) {
                    const int mine = ours.at(plane, x, y);
                    // The tile's corners are even, so a chroma sample is in it or out whole.
                    const bool marks = inside(area, x << shift, y << shift);
                    if (marks) {
                        worstInside =
                            std::max(worstInside, std::abs(mine - reference.at(plane, x, y)));
                        changedByMarks += std::abs(mine - recording.at(plane, x, y)) > 8;
                    } else {
                        ASSERT_EQ(mine, recording.at(plane, x, y))
                            << "plane " << plane << " at " << x << "," << y;
                        roundTripDiffers += mine != reference.at(plane, x, y);
                    }
                }
            }
        }
        EXPECT_LE(worstInside, 1) << "the marks' rectangle differs from the BGRA path";
        if (c.time == marked) {
            EXPECT_GT(changedByMarks, 500) << "the marks were drawn";
        }
        EXPECT_GT(roundTripDiffers, 0) << "the pattern is fine enough to show the round trip";
    }
}

TEST(Frames, AnUnmarkedPictureOfTheSizeIsSharedWithoutItsDecoderProperties) {
    const AVFramePtr picture = patterned(64, 48);
    picture->pict_type = AV_PICTURE_TYPE_I;
    picture->pts = 1234;
    Frames frames;
    const AVFramePtr frame = frames.movieFrame(*picture, touches, unmarked, 64, 48);
    EXPECT_EQ(frame->data[0], picture->data[0]);
    EXPECT_EQ(frame->data[2], picture->data[2]);
    EXPECT_EQ(av_buffer_get_ref_count(picture->buf[0]), 2);
    EXPECT_EQ(frame->pict_type, AV_PICTURE_TYPE_NONE) << "the encoder chooses its own frame types";
    EXPECT_NE(frame->pts, 1234);

    // A marked one is drawn into a copy: the shared picture stays as it was.
    const Planes before = planesOf(*picture);
    const AVFramePtr drawn = frames.movieFrame(*picture, touches, marked, 64, 48);
    EXPECT_NE(drawn->data[0], picture->data[0]);
    EXPECT_EQ(planesOf(*picture).y, before.y);
}

TEST(Frames, AMovieFrameStillHeldIsNeverDrawnOver) {
    const AVFramePtr picture = patterned(64, 48);
    Frames frames;
    AVFramePtr first = frames.movieFrame(*picture, touches, marked, 64, 48);
    const Planes held = planesOf(*first);
    AVFramePtr second =
        frames.movieFrame(*patterned(64, 48, AV_PIX_FMT_YUV420P), touches, 1.2, 64, 48);
    EXPECT_NE(second->data[0], first->data[0]);
    EXPECT_EQ(planesOf(*first).y, held.y);
    EXPECT_EQ(planesOf(*first).u, held.u);
    // Once its taker lets it go, a buffer serves again rather than a new one being made.
    first.reset();
    const std::uint8_t* free = second->data[0];
    second.reset();
    const AVFramePtr third = frames.movieFrame(*picture, touches, marked, 64, 48);
    EXPECT_EQ(third->data[0], free);
}

TEST(Frames, PicturesInOtherColoursGoThroughBGRA) {
    // Full range and BT.709 samples mean other colours than the MP4's: they are converted.
    struct Case {
        const char* name;
        int format;
        AVColorRange range;
        AVColorSpace space;
    };
    const Case cases[] = {
        {"full range", AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG, AVCOL_SPC_UNSPECIFIED},
        {"tagged full range", AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, AVCOL_SPC_SMPTE170M},
        {"BT.709", AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AVFramePtr picture = patterned(64, 48, c.format);
        picture->color_range = c.range;
        picture->colorspace = c.space;
        EXPECT_FALSE(inMovieColours(*picture));
        Frames frames;
        const AVFramePtr frame = frames.movieFrame(*picture, touches, unmarked, 64, 48);
        EXPECT_NE(frame->data[0], picture->data[0]);
        const Planes ours = planesOf(*frame);
        const Planes reference = throughBGRA(*picture, unmarked, 64, 48);
        EXPECT_EQ(ours.y, reference.y);
        EXPECT_EQ(ours.u, reference.u);
        EXPECT_EQ(ours.v, reference.v);
    }
    EXPECT_TRUE(inMovieColours(*patterned(8, 8)));
}

TEST(Frames, FailuresNameTheCallThatFailed) {
    struct Case {
        const char* name;
        int format;
        int width, height;
        bool movie;
        std::string message;
    };
    // Pictures whose pixels are missing: every library refuses them.
    const std::string prefix = "a recorded picture cannot be converted: ";
    const Case cases[] = {
        {"BGRA", AV_PIX_FMT_BGRA, 32, 32, false, "ARGBScale failed (-1)"},
        {"4:2:0 of the size", AV_PIX_FMT_YUV420P, 32, 32, true, "I420Copy failed (-1)"},
        {"4:2:0 scaled", AV_PIX_FMT_YUV420P, 64, 64, true, "I420Scale failed (-1)"},
        {"4:2:0 as BGRA", AV_PIX_FMT_YUV420P, 32, 32, false, "I420ToARGBMatrix failed (-1)"},
        {"a hardware surface", AV_PIX_FMT_VAAPI, 32, 32, false,
         "sws_getCachedContext found no conversion"},
        {"no size", AV_PIX_FMT_BGRA, 0, 32, false, "a picture of 0x32 to 32x32"},
    };
    for (const auto& c : cases) {
        AVFramePtr picture(av_frame_alloc());
        picture->format = c.format;
        picture->width = c.width;
        picture->height = c.height;
        Frames frames;
        Canvas canvas;
        try {
            if (c.movie) {
                frames.movieFrame(*picture, {}, 0, 32, 32);
            } else {
                frames.compose(*picture, {}, 0, 32, 32, canvas);
            }
            ADD_FAILURE() << c.name;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, HelperFailure(prefix + c.message, 502)) << c.name;
        }
    }
}

TEST(TouchPainter, BoundsHoldEveryPixelTheMarksChange) {
    struct Case {
        const char* name;
        std::vector<RecordedTouch> touches;
        double time;
        int width, height;
    };
    const Case cases[] = {
        {"a tap", {{0, "tap", {{0.5, 0.5}}, 0.05, "agent"}}, 0.05, 200, 300},
        {"a long press grows", {{0, "long_press", {{0.4, 0.6}}, 1, "person"}}, 0.9, 200, 300},
        {"a swipe's trail and head",
         {{0, "swipe", {{0.1, 0.9}, {0.9, 0.1}}, 1, "agent"}},
         0.6,
         300,
         200},
        {"clipped at the corner", {{0, "tap", {{0.0, 1.0}}, 0.05, "agent"}}, 0.05, 120, 90},
        {"a thin picture gets the thickest outline",
         {{0, "tap", {{0.5, 0.5}}, 0.05, "person"}},
         0.05,
         40,
         400},
        {"two apart",
         {{0, "tap", {{0.1, 0.1}}, 0.05, "agent"}, {0, "tap", {{0.9, 0.8}}, 0.05, "person"}},
         0.05,
         200,
         200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto marks = TouchMarks::at(c.touches, c.time);
        ASSERT_FALSE(marks.empty());
        const PixelRectangle area = TouchPainter::bounds(marks, c.width, c.height);
        ASSERT_FALSE(area.empty());
        EXPECT_GE(area.left, 0);
        EXPECT_GE(area.top, 0);
        EXPECT_LE(area.left + area.width, c.width);
        EXPECT_LE(area.top + area.height, c.height);
        const CairoSurfacePtr overlay = TouchPainter::paint(marks, c.width, c.height);
        ASSERT_TRUE(overlay);
        const auto* pixels = cairo_image_surface_get_data(overlay.get());
        const int stride = cairo_image_surface_get_stride(overlay.get());
        int drawn = 0, outside = 0;
        long spare = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const bool alpha = pixels[y * stride + x * 4 + 3] != 0;
                drawn += alpha;
                if (alpha && !inside(area, x, y)) ++outside;
            }
        }
        EXPECT_GT(drawn, 0);
        EXPECT_EQ(outside, 0);
        // Not much larger than what is drawn: a few pixels of margin on each side.
        int left = c.width, right = -1, top = c.height, bottom = -1;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                if (pixels[y * stride + x * 4 + 3] == 0) continue;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
        spare = (left - area.left) + (area.left + area.width - 1 - right) + (top - area.top) +
                (area.top + area.height - 1 - bottom);
        EXPECT_LE(spare, 16);
    }
    EXPECT_TRUE(TouchPainter::bounds({}, 100, 100).empty());
    // Off the picture altogether.
    const auto far = TouchMarks::at({{0, "tap", {{3.0, 3.0}}, 0.05, "agent"}}, 0.05);
    EXPECT_TRUE(TouchPainter::bounds(far, 100, 100).empty());
}

}  // namespace
}  // namespace tavrel
