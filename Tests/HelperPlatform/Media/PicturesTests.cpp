#include "HelperPlatform/Media/Pictures.hpp"

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"

namespace tavrel {
namespace {

struct Colour {
    int blue, green, red;
};

constexpr Colour red{0, 0, 255}, green{0, 255, 0}, blue{255, 0, 0}, white{255, 255, 255};

// Four quadrants: red top left, green top right, blue bottom left, white bottom right.
std::shared_ptr<Surface> quadrants(int width, int height) {
    auto surface = Surface::allocate(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Colour c =
                y < height / 2 ? (x < width / 2 ? red : green) : (x < width / 2 ? blue : white);
            std::uint8_t* p = surface->mutablePixels() + y * surface->bytesPerRow() + x * 4;
            p[0] = c.blue, p[1] = c.green, p[2] = c.red, p[3] = 255;
        }
    }
    return surface;
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
    Colour at(int x, int y) const {
        const auto* p = &bgra[(y * width + x) * 4];
        return {p[0], p[1], p[2]};
    }
};

Decoded decodeJPEG(const Bytes& data) {
    tjhandle handle = tjInitDecompress();
    Decoded decoded;
    int subsampling = 0, colourspace = 0;
    EXPECT_EQ(tjDecompressHeader3(handle, data.data(), data.size(), &decoded.width, &decoded.height,
                                  &subsampling, &colourspace),
              0);
    EXPECT_EQ(subsampling, TJSAMP_420);
    decoded.bgra.resize(static_cast<std::size_t>(decoded.width) * decoded.height * 4);
    EXPECT_EQ(tjDecompress2(handle, data.data(), data.size(), decoded.bgra.data(), decoded.width, 0,
                            decoded.height, TJPF_BGRA, 0),
              0);
    tjDestroy(handle);
    return decoded;
}

void expectNear(Colour actual, Colour expected, const std::string& where) {
    EXPECT_NEAR(actual.blue, expected.blue, 40) << where;
    EXPECT_NEAR(actual.green, expected.green, 40) << where;
    EXPECT_NEAR(actual.red, expected.red, 40) << where;
}

TEST(Pictures, JPEGCutsThePlannedRectangleAndScalesIt) {
    const auto surface = quadrants(200, 100);
    struct Case {
        const char* name;
        PixelRect source;
        int width, height;
        // Expected colours at the output's four corners (inset), top left first.
        Colour topLeft, topRight, bottomLeft, bottomRight;
    };
    const Case cases[] = {
        {"whole, unscaled", {0, 0, 200, 100}, 200, 100, red, green, blue, white},
        {"whole, scaled down", {0, 0, 200, 100}, 50, 25, red, green, blue, white},
        {"top right quadrant", {100, 0, 100, 50}, 100, 50, green, green, green, green},
        {"bottom left quadrant, scaled", {0, 50, 100, 50}, 20, 10, blue, blue, blue, blue},
        {"across the middle", {50, 25, 100, 50}, 100, 50, red, green, blue, white},
        {"across the middle, scaled", {50, 25, 100, 50}, 40, 20, red, green, blue, white},
    };
    Pictures pictures;
    for (const auto& c : cases) {
        const auto jpeg = pictures.jpeg(*surface, ScreenshotPlan{c.source, c.width, c.height, 0.9});
        EXPECT_EQ(jpeg.width, c.width) << c.name;
        EXPECT_EQ(jpeg.height, c.height) << c.name;
        const auto decoded = decodeJPEG(jpeg.data);
        ASSERT_EQ(decoded.width, c.width) << c.name;
        ASSERT_EQ(decoded.height, c.height) << c.name;
        const int right = c.width - 3, bottom = c.height - 3;
        expectNear(decoded.at(2, 2), c.topLeft, std::string(c.name) + " top left");
        expectNear(decoded.at(right, 2), c.topRight, std::string(c.name) + " top right");
        expectNear(decoded.at(2, bottom), c.bottomLeft, std::string(c.name) + " bottom left");
        expectNear(decoded.at(right, bottom), c.bottomRight, std::string(c.name) + " bottom right");
    }
}

TEST(Pictures, JPEGQualityChangesTheSize) {
    auto surface = Surface::allocate(160, 160);
    for (int y = 0; y < 160; ++y) {
        for (int x = 0; x < 160 * 4; ++x) {
            surface->mutablePixels()[y * surface->bytesPerRow() + x] =
                static_cast<std::uint8_t>((x * 7 + y * 13) ^ (x * y));
        }
    }
    Pictures pictures;
    const auto low = pictures.jpeg(*surface, ScreenshotPlan{{0, 0, 160, 160}, 160, 160, 0.1});
    const auto high = pictures.jpeg(*surface, ScreenshotPlan{{0, 0, 160, 160}, 160, 160, 1.0});
    EXPECT_LT(low.data.size() * 2, high.data.size());
}

TEST(Pictures, JPEGRefusalsSayWhatWasWrong) {
    const auto surface = quadrants(100, 100);
    Pictures pictures;
    struct Case {
        PixelRect rect;
        std::int64_t width, height;
        std::string message;
    };
    const std::string prefix = "the screen could not be drawn: ";
    const Case cases[] = {
        {{-1, 0, 10, 10}, 10, 10, "the rectangle -1,0 10x10 is not inside the 100x100 surface"},
        {{0, -1, 10, 10}, 10, 10, "the rectangle 0,-1 10x10 is not inside the 100x100 surface"},
        {{95, 0, 10, 10}, 10, 10, "the rectangle 95,0 10x10 is not inside the 100x100 surface"},
        {{0, 95, 10, 10}, 10, 10, "the rectangle 0,95 10x10 is not inside the 100x100 surface"},
        {{0, 0, 0, 10}, 10, 10, "the rectangle 0,0 0x10 is not inside the 100x100 surface"},
        {{0, 0, 10, 10}, 0, 10, "a JPEG cannot be 0x10"},
        {{0, 0, 10, 10}, 10, 70000, "a JPEG cannot be 10x70000"},
    };
    for (const auto& c : cases) {
        try {
            pictures.jpeg(*surface, ScreenshotPlan{c.rect, c.width, c.height, 0.5});
            ADD_FAILURE() << c.message;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, HelperFailure(prefix + c.message, 502));
        }
    }
}

TEST(Pictures, JPEGFromSeveralThreadsAtOnce) {
    const auto surface = quadrants(300, 600);
    Pictures pictures;
    std::vector<std::jthread> threads;
    std::vector<JPEG> results(4);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            const int width = 40 + 60 * i;
            results[i] =
                pictures.jpeg(*surface, ScreenshotPlan{{0, 0, 300, 600}, width, width * 2, 0.8});
        });
    }
    threads.clear();
    for (int i = 0; i < 4; ++i) {
        const auto decoded = decodeJPEG(results[i].data);
        EXPECT_EQ(decoded.width, 40 + 60 * i);
        expectNear(decoded.at(decoded.width - 2, decoded.height - 2), white, "thread");
    }
}

AVFramePtr yuvFrame(int width, int height) {
    AVFramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

Decoded toBGRA(const AVFrame& frame) {
    Decoded decoded;
    decoded.width = frame.width;
    decoded.height = frame.height;
    decoded.bgra.resize(static_cast<std::size_t>(frame.width) * frame.height * 4);
    libyuv::I420ToARGB(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1],
                       frame.data[2], frame.linesize[2], decoded.bgra.data(), frame.width * 4,
                       frame.width, frame.height);
    return decoded;
}

TEST(Pictures, DrawScalesTheWholeSurfaceIntoTheFrame) {
    struct Case {
        int surfaceWidth, surfaceHeight, frameWidth, frameHeight;
    };
    // Equal, one pixel larger (odd surfaces rounded to even sizes), halved, stretched.
    const Case cases[] = {{200, 100, 200, 100}, {199, 101, 200, 102}, {201, 99, 200, 98},
                          {400, 200, 200, 100}, {400, 200, 100, 100}, {60, 30, 120, 60}};
    Pictures pictures;
    for (const auto& c : cases) {
        const auto surface = quadrants(c.surfaceWidth, c.surfaceHeight);
        auto frame = yuvFrame(c.frameWidth, c.frameHeight);
        pictures.draw(*surface, frame.get());
        const auto image = toBGRA(*frame);
        const std::string name = std::to_string(c.surfaceWidth) + "x" +
                                 std::to_string(c.surfaceHeight) + " to " +
                                 std::to_string(c.frameWidth) + "x" + std::to_string(c.frameHeight);
        const int right = c.frameWidth - 1, bottom = c.frameHeight - 1;
        expectNear(image.at(0, 0), red, name + " top left");
        expectNear(image.at(right, 0), green, name + " top right");
        expectNear(image.at(0, bottom), blue, name + " bottom left");
        expectNear(image.at(right, bottom), white, name + " bottom right");
        expectNear(image.at(c.frameWidth / 4, c.frameHeight / 4), red, name + " inside");
    }
}

TEST(Pictures, DrawingInStripsMatchesOneWholeScaleAndConversion) {
    struct Case {
        int surfaceWidth, surfaceHeight, frameWidth, frameHeight;
        // What the reference scales: the surface's top-left `region` to `scaled`, and the
        // rest of the frame repeats the last column and row.
        int regionWidth, regionHeight, scaledWidth, scaledHeight;
    };
    const Case cases[] = {
        {301, 517, 100, 172, 301, 517, 100, 172},  // a third: the general box, uneven strips
        {300, 516, 150, 258, 300, 516, 150, 258},  // exactly half
        {303, 517, 152, 258, 302, 516, 151, 258},  // half of an odd surface, as 1179 to 590
        // Large enough for two threads to share the strips.
        {1179, 2556, 590, 1278, 1178, 2556, 589, 1278},
        {1179, 2556, 640, 1000, 1179, 2556, 640, 1000},
    };
    Pictures pictures;
    for (const auto& c : cases) {
        auto surface = Surface::allocate(c.surfaceWidth, c.surfaceHeight);
        for (int y = 0; y < c.surfaceHeight; ++y) {
            for (int x = 0; x < c.surfaceWidth * 4; ++x) {
                surface->mutablePixels()[y * surface->bytesPerRow() + x] =
                    static_cast<std::uint8_t>(x * 31 + y * 17 + ((x * y) >> 3));
            }
        }
        const int stride = c.scaledWidth * 4;
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(stride) * c.scaledHeight);
        ASSERT_EQ(libyuv::ARGBScale(surface->pixels(), static_cast<int>(surface->bytesPerRow()),
                                    c.regionWidth, c.regionHeight, scaled.data(), stride,
                                    c.scaledWidth, c.scaledHeight, libyuv::kFilterBox),
                  0);
        auto expected = yuvFrame(c.frameWidth, c.frameHeight);
        ASSERT_EQ(
            libyuv::ARGBToI420(scaled.data(), stride, expected->data[0], expected->linesize[0],
                               expected->data[1], expected->linesize[1], expected->data[2],
                               expected->linesize[2], c.scaledWidth, c.scaledHeight),
            0);
        for (int y = 0; y < c.scaledHeight; ++y) {
            std::uint8_t* row = expected->data[0] + y * expected->linesize[0];
            for (int x = c.scaledWidth; x < c.frameWidth; ++x) row[x] = row[c.scaledWidth - 1];
        }
        auto frame = yuvFrame(c.frameWidth, c.frameHeight);
        pictures.draw(*surface, frame.get());
        const std::string name = std::to_string(c.surfaceWidth) + "x" +
                                 std::to_string(c.surfaceHeight) + " to " +
                                 std::to_string(c.frameWidth) + "x" + std::to_string(c.frameHeight);
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane == 0 ? c.frameWidth : c.frameWidth / 2;
            const int h = plane == 0 ? c.frameHeight : c.frameHeight / 2;
            for (int y = 0; y < h; ++y) {
                ASSERT_EQ(std::memcmp(frame->data[plane] + y * frame->linesize[plane],
                                      expected->data[plane] + y * expected->linesize[plane], w),
                          0)
                    << name << ": plane " << plane << " row " << y;
            }
        }
    }
}

TEST(Pictures, DrawRefusesWhatItCannotRead) {
    Pictures pictures;
    auto frame = yuvFrame(64, 64);
    std::atomic<std::uint32_t> seed{0};
    std::vector<std::uint8_t> pixels(64 * 64 * 4);
    const Surface noPixels(nullptr, 64, 64, 256, &seed, nullptr);
    const Surface shortRows(pixels.data(), 64, 64, 100, &seed, nullptr);
    for (const Surface* surface : {&noPixels, &shortRows}) {
        try {
            pictures.draw(*surface, frame.get());
            ADD_FAILURE();
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, HelperFailure("the screen's surface cannot be read as pixels", 502));
        }
    }
    AVFramePtr rgb(av_frame_alloc());
    rgb->format = AV_PIX_FMT_RGBA;
    rgb->width = rgb->height = 64;
    ASSERT_EQ(av_frame_get_buffer(rgb.get(), 0), 0);
    const Surface good(pixels.data(), 64, 64, 256, &seed, nullptr);
    try {
        pictures.draw(good, rgb.get());
        ADD_FAILURE();
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure,
                  HelperFailure("the screen could not be scaled (-1): the frame is not a 4:2:0 "
                                "frame of at least 2x2",
                                502));
    }
}

}  // namespace
}  // namespace tavrel
