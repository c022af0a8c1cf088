// Renders real recordings and checks the files with ffprobe, gifsicle and ffmpeg's decoder.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "HelperPlatform/Render/FramePictures.hpp"
#include "HelperPlatform/Render/GIFWriter.hpp"
#include "HelperPlatform/Render/H264Decoder.hpp"
#include "HelperPlatform/Render/MoviePictures.hpp"
#include "HelperPlatform/Render/MovieWriter.hpp"
#include "HelperPlatform/Render/RecordingRenderer.hpp"
#include "HelperPlatform/Render/TouchPainter.hpp"
#include "HelperPlatform/Support/Recordings.hpp"
#include "Support/TemporaryDirectory.hpp"

// libx265 keeps one allocation of its own past the encoder's close; nothing of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace tavrel {
namespace {

using testing::Painting;
using RGB = std::array<std::uint8_t, 3>;

constexpr RGB grey{128, 128, 128};
constexpr RGB green{40, 200, 60};

// Grey, with a green block in the top-right corner that moves down one step per frame.
void movingBlock(int index, Painting& painting) {
    painting.fill(0, 0, painting.width, painting.height, grey);
    painting.fill(painting.width * 3 / 4, (index * 4) % (painting.height / 2), painting.width / 8,
                  painting.height / 8, green);
}

void still(int, Painting& painting) {
    painting.fill(0, 0, painting.width, painting.height, grey);
}

RenderJob jobFor(const std::string& input, RenderJob::InputKind kind) {
    RenderJob job;
    job.input = input;
    job.inputKind = kind;
    job.codec = "h264";
    job.speed = 1;
    job.gifFps = 10;
    job.gifWidth = 2000;
    return job;
}

nlohmann::json probe(const std::string& path) {
    return nlohmann::json::parse(testing::commandOutput(
        "ffprobe -v error -count_frames -show_streams -show_format -of json '" + path + "'"));
}

RGB pixelAt(const std::vector<std::uint8_t>& rgb, int width, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb.at(at), rgb.at(at + 1), rgb.at(at + 2)};
}

void expectNear(RGB actual, RGB expected, int tolerance, const std::string& what) {
    for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(actual[channel], expected[channel], tolerance)
            << what << " channel " << channel;
    }
}

// A colour laid over another at an opacity, as source-over does.
RGB over(std::array<double, 3> colour, double alpha, RGB under) {
    RGB out{};
    for (int channel = 0; channel < 3; ++channel) {
        out[channel] = static_cast<std::uint8_t>(
            std::lround(colour[channel] * 255 * alpha + under[channel] * (1 - alpha)));
    }
    return out;
}

struct GifInfo {
    int images = 0;
    bool loopsForever = false;
    std::vector<double> delays;
    double total() const {
        double sum = 0;
        for (double delay : delays) sum += delay;
        return sum;
    }
};

GifInfo gifInfo(const std::string& path) {
    const std::string info = testing::commandOutput("gifsicle --info '" + path + "'");
    GifInfo result;
    std::smatch match;
    if (std::regex_search(info, match, std::regex(R"((\d+) images?)"))) {
        result.images = std::stoi(match[1]);
    }
    result.loopsForever = info.find("loop forever") != std::string::npos;
    const std::regex delay(R"(delay ([0-9.]+)s)");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), delay);
         it != std::sregex_iterator(); ++it) {
        result.delays.push_back(std::stod((*it)[1]));
    }
    return result;
}

TEST(MovieWriter, WritesThirtyFramesASecondAtTheRecordingsSizeWithTheMoovInFront) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 320, 240, 60, 30, movingBlock);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.speed = 2;
    job.mp4 = folder.file("out.mp4");
    FramePictures pictures(recording);
    const RenderedFile file = MovieWriter::write(pictures, job, *job.mp4);
    EXPECT_EQ(file, (RenderedFile{*job.mp4, "mp4", 320, 240, 1.0}));

    const auto probed = probe(*job.mp4);
    const auto& stream = probed["streams"][0];
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], 320);
    EXPECT_EQ(stream["height"], 240);
    EXPECT_EQ(stream["r_frame_rate"], "30/1");
    EXPECT_EQ(stream["nb_read_frames"], "30");
    EXPECT_NEAR(std::stod(probed["format"]["duration"].get<std::string>()), 1.0, 0.001);
    const std::string trace =
        testing::commandOutput("ffprobe -v trace '" + *job.mp4 + "' 2>&1 >/dev/null");
    const auto moov = trace.find("type:'moov'");
    const auto mdat = trace.find("type:'mdat'");
    ASSERT_NE(moov, std::string::npos);
    ASSERT_NE(mdat, std::string::npos);
    EXPECT_LT(moov, mdat);
}

TEST(MovieWriter, BitRateScalesWithThePixelsAndHasAFloor) {
    EXPECT_EQ(MovieWriter::bitRate(300, 400), 1'000'000);
    EXPECT_EQ(MovieWriter::bitRate(1180, 2556), 12'064'320);
}

TEST(MovieWriter, HEVCIsTaggedHvc1AndReplacesAnExistingFile) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 128, 96, 15, 30, movingBlock);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.codec = "hevc";
    job.mp4 = folder.file("out.mp4");
    std::ofstream(*job.mp4) << "an older movie";
    FramePictures pictures(recording);
    MovieWriter::write(pictures, job, *job.mp4);
    const auto stream = probe(*job.mp4)["streams"][0];
    EXPECT_EQ(stream["codec_name"], "hevc");
    EXPECT_EQ(stream["codec_tag_string"], "hvc1");
    EXPECT_EQ(stream["width"], 128);
    EXPECT_EQ(stream["nb_read_frames"], "14");  // ticks of 14 / 30 s at 30 fps
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);
}

TEST(MovieWriter, MarksHaveTheirColourAndTheRestIsTheRecording) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 320, 240, 60, 30, still);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.mp4 = folder.file("out.mp4");
    // An agent's tap on the left at 1 s, a person's on the right at 1.5 s.
    job.touches = {{1.0, "tap", {{0.25, 0.5}}, 0.05, "agent"},
                   {1.5, "tap", {{0.75, 0.5}}, 0.05, "person"}};
    FramePictures pictures(recording);
    MovieWriter::write(pictures, job, *job.mp4);

    const auto atOne = testing::decodedFrame(*job.mp4, 32);  // 1.067 s: agent at full strength
    ASSERT_EQ(atOne.size(), 320u * 240 * 3);
    expectNear(pixelAt(atOne, 320, 80, 120), over({1.0, 0.54, 0.1}, 0.5, grey), 12, "agent ring");
    expectNear(pixelAt(atOne, 320, 240, 120), grey, 6, "far from the mark");
    expectNear(pixelAt(atOne, 320, 10, 10), grey, 6, "corner");
    const auto atTwo = testing::decodedFrame(*job.mp4, 47);  // 1.567 s: the person's tap
    expectNear(pixelAt(atTwo, 320, 240, 120), over({0.04, 0.52, 1.0}, 0.5, grey), 12,
               "person ring");
    expectNear(pixelAt(atTwo, 320, 80, 120), grey, 6, "the agent's tap is gone");
}

TEST(MovieWriter, ATouchOfTwoFingersPaintsARingOnEach) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 320, 240, 60, 30, still);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.mp4 = folder.file("out.mp4");
    // Two fingers held still on the left and on the right: each is a ring, and a path that never
    // moved strokes no trail.
    RecordedTouch pinch{1.0, "pinch", {{0.25, 0.5}, {0.25, 0.5}}, 0.5, "agent"};
    pinch.pointsTwo = {{0.75, 0.5}, {0.75, 0.5}};
    job.touches = {pinch};
    FramePictures pictures(recording);
    MovieWriter::write(pictures, job, *job.mp4);

    const auto frame = testing::decodedFrame(*job.mp4, 36);  // 1.2 s
    const RGB marked = over({1.0, 0.54, 0.1}, 0.5, grey);
    expectNear(pixelAt(frame, 320, 80, 120), marked, 14, "first finger");
    expectNear(pixelAt(frame, 320, 240, 120), marked, 14, "second finger");
    expectNear(pixelAt(frame, 320, 160, 120), grey, 6, "between the fingers");
}

TEST(GIFWriter, LoopsForEverWithDelaysThatAddUpToItsDuration) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 320, 240, 61, 30, movingBlock);
    struct Case {
        double speed;
        std::int64_t fps;
        int width;
        std::size_t ticks;
    };
    for (const Case& c : {Case{2, 10, 160, 10}, Case{1, 30, 2000, 60}, Case{0.25, 7, 100, 56}}) {
        auto job = jobFor(recording, RenderJob::InputKind::frames);
        job.speed = c.speed;
        job.gifFps = c.fps;
        job.gifWidth = c.width;
        job.gif = folder.file("out.gif");
        FramePictures pictures(recording);
        const RenderedFile file = GIFWriter::write(pictures, job, *job.gif);
        const double duration = static_cast<double>(c.ticks) / static_cast<double>(c.fps);
        EXPECT_DOUBLE_EQ(file.durationS, duration) << c.fps;
        EXPECT_EQ(file.width, std::min(c.width, 320));
        const GifInfo info = gifInfo(*job.gif);
        EXPECT_TRUE(info.loopsForever);
        EXPECT_GE(info.images, 2);
        EXPECT_LE(static_cast<std::size_t>(info.images), c.ticks);
        EXPECT_NEAR(info.total(), duration, 0.01 + 1e-9) << c.fps;
    }
}

TEST(GIFWriter, AStillRecordingIsOneFrameShownForTheWholeLength) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 200, 100, 31, 30, still);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.gifFps = 15;
    job.gif = folder.file("out.gif");
    FramePictures pictures(recording);
    GIFWriter::write(pictures, job, *job.gif);
    const GifInfo info = gifInfo(*job.gif);
    EXPECT_EQ(info.images, 1);
    ASSERT_EQ(info.delays.size(), 1u);
    EXPECT_DOUBLE_EQ(info.delays[0], 1.0);  // 15 ticks at 15 fps
}

TEST(GIFWriter, LaterFramesStoreOnlyTheChangedRectangleAndMarksShow) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeJPEGRecording(recording, 200, 200, 20, 10, still);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.gif = folder.file("out.gif");
    job.touches = {{1.0, "tap", {{0.5, 0.5}}, 0.3, "person"}};
    FramePictures pictures(recording);
    GIFWriter::write(pictures, job, *job.gif);
    const std::string info = testing::commandOutput("gifsicle --info '" + *job.gif + "'");
    EXPECT_NE(info.find("image #0 200x200"), std::string::npos) << info;
    // The mark is 0.045 x 200 = 9 px around the middle, with its outline: the next frame is
    // only that square.
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(info, match, std::regex(R"(image #1 (\d+)x(\d+) at (\d+),(\d+))")))
        << info;
    EXPECT_LT(std::stoi(match[1]), 40);
    EXPECT_LT(std::stoi(match[2]), 40);
    const auto frame = testing::decodedFrame(*job.gif, 1);
    ASSERT_EQ(frame.size(), 200u * 200 * 3);
    expectNear(pixelAt(frame, 200, 100, 100), over({0.04, 0.52, 1.0}, 0.5, grey), 16, "ring");
    expectNear(pixelAt(frame, 200, 20, 180), grey, 6, "far from the mark");
}

// Red across and green down the top 64 rows: thousands of colours that no palette holds, so
// only dithering keeps them smooth. Two blocks move through it, one at each side, so every
// frame's changed rectangle spans the still middle.
RGB gradientAt(int x, int y) {
    return {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(4 * y), 128};
}

void gradientWithBlock(int index, Painting& painting) {
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < painting.width; ++x) painting.fill(x, y, 1, 1, gradientAt(x, y));
    }
    painting.fill(0, 64, painting.width, painting.height - 64, grey);
    painting.fill(8 + index * 4, 20, 16, 16, green);
    painting.fill(200 + index * 4, 20, 16, 16, green);
}

TEST(GIFWriter, GradientsAreDitheredNotBandedAndStillPixelsNeverFlicker) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeJPEGRecording(recording, 256, 100, 10, 10, gradientWithBlock);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.gif = folder.file("out.gif");
    FramePictures pictures(recording);
    GIFWriter::write(pictures, job, *job.gif);
    EXPECT_EQ(gifInfo(*job.gif).images, 9);  // 0.9 s at 10 fps, every frame different

    const auto first = testing::decodedFrame(*job.gif, 0);
    ASSERT_EQ(first.size(), 256u * 100 * 3);
    // Dithered, every 8x8 block of the middle keeps the gradient's average; bands would drift
    // from it by up to half the step between two palette colours (6 and more here).
    constexpr int block = 8, middle = 64, middleEnd = 192;
    double worst = 0;
    for (int top = 0; top + block <= 64; top += block) {
        for (int left = middle; left < middleEnd; left += block) {
            for (int channel = 0; channel < 3; ++channel) {
                double shown = 0, source = 0;
                for (int y = top; y < top + block; ++y) {
                    for (int x = left; x < left + block; ++x) {
                        shown += pixelAt(first, 256, x, y)[channel];
                        source += gradientAt(x, y)[channel];
                    }
                }
                worst = std::max(worst, std::abs(shown - source) / (block * block));
            }
        }
    }
    EXPECT_LT(worst, 3.5);
    // The middle never changes, so no later frame may show it otherwise.
    for (int index : {1, 4, 8}) {
        const auto later = testing::decodedFrame(*job.gif, index);
        ASSERT_EQ(later.size(), first.size()) << "frame " << index;
        for (int y = 0; y < 64; ++y) {
            const auto row = static_cast<std::ptrdiff_t>((y * 256 + middle) * 3);
            EXPECT_TRUE(std::equal(first.begin() + row,
                                   first.begin() + row + (middleEnd - middle) * 3,
                                   later.begin() + row))
                << "frame " << index << " row " << y;
        }
        expectNear(pixelAt(later, 256, 200 + index * 4 + 8, 28), green, 6, "the block");
        // Where the block was a frame ago, the gradient shows again.
        const int left = 200 + index * 4 - 2;
        expectNear(pixelAt(later, 256, left, 28), gradientAt(left, 28), 16, "behind the block");
    }
}

TEST(GIFWriter, AFailedWriteSaysWhichCallFailedAndWhy) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    testing::writeH264Recording(recording, 256, 64, 10, 30, gradientWithBlock);
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.gif = folder.file("out.gif");
    // Files may not grow past 2 KB: a write past that fails (EFBIG) rather than ending the
    // process, as a full disk would.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{2048, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        FramePictures pictures(recording);
        GIFWriter::write(pictures, job, *job.gif);
    } catch (const HelperFailure& failure) {
        message = failure.message();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    // giflib's words for a write that failed, wherever its buffer was flushed.
    EXPECT_TRUE(std::regex_match(
        message,
        std::regex(R"(the GIF could not be written: EGif\w+ failed \()"
                   R"((Write failed \(disk full\?\)|Failed to (write to|close) given file)\))")))
        << message;
    EXPECT_FALSE(std::filesystem::exists(*job.gif));
}

TEST(FramePictures, ReportsTheFirstPictureAfterParameterSetsAloneAndStepsLikeAPlayhead) {
    testing::TemporaryDirectory folder;
    const std::string path = folder.file("r.tvrf");
    {
        testing::FrameFileWriter file(path);
        testing::H264Frames encoder(64, 48);
        Painting painting(64, 48);
        painting.fill(0, 0, 64, 48, grey);
        const Bytes first = encoder.encode(painting, 0);
        // Split the key frame: its parameter sets alone first, at 0.1 s.
        const auto units = AnnexB::nalUnitViews(first);
        Bytes sets, picture;
        for (const auto unit : units) {
            Bytes& into = NALUnit::isParameterSet(AnnexB::type(unit)) ? sets : picture;
            into.insert(into.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
            into.insert(into.end(), unit.begin(), unit.end());
        }
        file.add(FrameFile::Kind::h264, 0.1, sets);
        file.add(FrameFile::Kind::h264, 0.3, picture);
        painting.fill(0, 0, 64, 48, green);
        file.add(FrameFile::Kind::h264, 0.6, encoder.encode(painting, 600));
    }
    FramePictures pictures(path);
    EXPECT_EQ(pictures.width(), 64);
    EXPECT_EQ(pictures.height(), 48);
    EXPECT_DOUBLE_EQ(pictures.duration(), 0.6);
    const RecordedPicture early = pictures.picture(0);
    ASSERT_TRUE(early);
    EXPECT_EQ(pictures.picture(0.3), early);
    EXPECT_EQ(pictures.picture(0.5), early);
    const RecordedPicture late = pictures.picture(0.6);
    ASSERT_TRUE(late);
    EXPECT_NE(late, early);
    EXPECT_EQ(pictures.picture(0.6), late);
    EXPECT_EQ(pictures.picture(99), late);
}

TEST(FramePictures, RefusesFilesWithoutPicturesAndUnreadableJPEGs) {
    testing::TemporaryDirectory folder;
    const Painting painting(16, 16);
    const Bytes good = testing::jpegOf(painting);
    const Bytes bad = bytesOf("not a JPEG at all");
    auto write = [&](const std::string& name, std::vector<Bytes> jpegs) {
        testing::FrameFileWriter file(folder.file(name));
        for (std::size_t index = 0; index < jpegs.size(); ++index) {
            file.add(FrameFile::Kind::jpeg, 0.1 * static_cast<double>(index), jpegs[index]);
        }
        return folder.file(name);
    };
    auto failure = [](const std::string& path) -> std::string {
        try {
            FramePictures pictures(path);
        } catch (const HelperFailure& error) {
            return error.message();
        }
        return "";
    };
    EXPECT_EQ(failure(write("empty.tvrf", {})), "the recording took no pictures");
    EXPECT_EQ(failure(write("bad-first.tvrf", {bad, good})), "a recorded JPEG cannot be read");
    EXPECT_EQ(failure(folder.file("missing.tvrf")).rfind("the recording cannot be opened", 0), 0u);

    // One later in the file fails only when playback reaches it.
    FramePictures later(write("bad-later.tvrf", {good, good, bad}));
    EXPECT_TRUE(later.picture(0.05));
    try {
        later.picture(0.3);
        ADD_FAILURE() << "the bad JPEG was not read";
    } catch (const HelperFailure& error) {
        EXPECT_EQ(error.message(), "a recorded JPEG cannot be read");
    }
}

TEST(H264Decoder, StartsAgainOnlyWhenTheParameterSetsChange) {
    H264Decoder decoder;
    Painting small(64, 48), large(96, 64);
    small.fill(0, 0, 64, 48, grey);
    large.fill(0, 0, 96, 64, green);
    testing::H264Frames first(64, 48, 5), second(96, 64, 5);
    for (int index = 0; index < 12; ++index) {  // three key frames, sets repeated each time
        const auto picture = decoder.decode(first.encode(small, index));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->width, 64);
    }
    EXPECT_EQ(decoder.restarts(), 1);
    const auto picture = decoder.decode(second.encode(large, 0));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 96);
    EXPECT_EQ(decoder.restarts(), 2);
}

TEST(MoviePictures, AQuarterTurnedMovieIsReadUprightAsFFmpegShowsIt) {
    testing::TemporaryDirectory folder;
    const std::string movie = folder.file("turned.mp4");
    // Stored 96x64: red left half, blue right half; the matrix turns it a quarter (this
    // ffmpeg sets it only when copying).
    int status = 0;
    testing::commandOutput(
        "ffmpeg -v error -f lavfi -i 'color=red:size=48x64:rate=10,pad=96:64:0:0:blue' -t 1 "
        "-pix_fmt yuv420p '" +
            folder.file("flat.mp4") + "' && ffmpeg -v error -i '" + folder.file("flat.mp4") +
            "' -c copy -metadata:s:v:0 rotate=90 '" + movie + "' 2>&1",
        &status);
    ASSERT_EQ(status, 0);
    MoviePictures pictures(movie);
    EXPECT_EQ(pictures.width(), 64);
    EXPECT_EQ(pictures.height(), 96);
    EXPECT_NEAR(pictures.duration(), 1.0, 0.05);

    auto job = jobFor(movie, RenderJob::InputKind::movie);
    job.mp4 = folder.file("out.mp4");
    const RenderReport report = RecordingRenderer::run(job);
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].width, 64);
    EXPECT_EQ(report.files[0].height, 96);
    // ffmpeg turns the movie upright on decoding; ours is stored upright.
    const auto reference = testing::decodedFrame(movie, 0);
    const auto rendered = testing::decodedFrame(*job.mp4, 0);
    ASSERT_EQ(reference.size(), 64u * 96 * 3);
    ASSERT_EQ(rendered.size(), reference.size());
    for (auto [x, y] : {std::pair{32, 10}, std::pair{32, 85}, std::pair{5, 48}}) {
        expectNear(pixelAt(rendered, 64, x, y), pixelAt(reference, 64, x, y), 12,
                   "at " + std::to_string(x) + "," + std::to_string(y));
    }
}

TEST(RecordingRenderer, AFailedRenderKeepsThePreviousFileAndLeavesNothingBehind) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    {
        testing::FrameFileWriter file(recording);
        const Painting painting(32, 32);
        file.add(FrameFile::Kind::jpeg, 0, testing::jpegOf(painting));
        file.add(FrameFile::Kind::jpeg, 0.5, testing::jpegOf(painting));
        // The scan decodes only the first picture, so this one fails half way through writing.
        file.add(FrameFile::Kind::jpeg, 1.0, bytesOf("not a JPEG"));
    }
    auto job = jobFor(recording, RenderJob::InputKind::frames);
    job.mp4 = folder.file("out.mp4");
    std::ofstream(*job.mp4) << "the previous movie";
    try {
        RecordingRenderer::run(job);
        ADD_FAILURE() << "the render did not fail";
    } catch (const HelperFailure& error) {
        EXPECT_EQ(error.message(), "a recorded JPEG cannot be read");
    }
    std::ifstream kept(*job.mp4);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the previous movie");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);
}

// A recording that never yields a picture, as a movie whose every frame is unreadable does.
class NoPictures final : public PictureSource {
  public:
    int width() const override { return 64; }
    int height() const override { return 48; }
    double duration() const override { return 1; }
    RecordedPicture picture(double) override { return nullptr; }
};

TEST(RecordingRenderer, AWriterThatStoredNoFrameFailsAndLeavesNothingBehind) {
    testing::TemporaryDirectory folder;
    auto job = jobFor(folder.file("r.mp4"), RenderJob::InputKind::movie);
    job.mp4 = folder.file("out.mp4");
    job.gif = folder.file("out.gif");
    std::ofstream(*job.mp4) << "the previous movie";
    auto failure = [](auto write) -> std::string {
        try {
            write();
        } catch (const HelperFailure& error) {
            return error.message();
        }
        return "";
    };
    NoPictures pictures;
    EXPECT_EQ(failure([&] { MovieWriter::write(pictures, job, *job.mp4); }),
              "the recording took no pictures");
    EXPECT_EQ(failure([&] { GIFWriter::write(pictures, job, *job.gif); }),
              "the recording took no pictures");
    std::ifstream kept(*job.mp4);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the previous movie");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

// Parameter sets the decoder cannot use are said to be the trouble, not the frame after them.
TEST(H264Decoder, UnusableParameterSetsAreRefusedAsSuch) {
    Painting painting(64, 48);
    painting.fill(0, 0, 64, 48, grey);
    testing::H264Frames encoder(64, 48);
    const Bytes keyFrame = encoder.encode(painting, 0);
    Bytes goodSPS, goodPPS, picture;
    for (const auto unit : AnnexB::nalUnitViews(keyFrame)) {
        Bytes& into = AnnexB::type(unit) == 7   ? goodSPS
                      : AnnexB::type(unit) == 8 ? goodPPS
                                                : picture;
        if (&into == &picture)
            into.insert(into.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
        into.insert(into.end(), unit.begin(), unit.end());
    }
    const Bytes sps32 = {0x67, 0x42, 0x00, 0x1E, 0x04, 0x30};  // set id 32: there are 0 to 31
    const Bytes ppsOfSps5 = {0x68, 0x9A};                      // names set 5, which is not there
    auto frame = [&](const Bytes& sps, const Bytes& pps) {
        Bytes bytes;
        for (const Bytes* unit : {&sps, &pps}) {
            bytes.insert(bytes.end(), AnnexB::startCode.begin(), AnnexB::startCode.end());
            bytes.insert(bytes.end(), unit->begin(), unit->end());
        }
        bytes.insert(bytes.end(), picture.begin(), picture.end());
        return bytes;
    };
    for (const auto& [sps, pps] : {std::pair{sps32, goodPPS}, std::pair{goodSPS, ppsOfSps5}}) {
        H264Decoder decoder;
        try {
            decoder.decode(frame(sps, pps));
            ADD_FAILURE() << "the sets were taken";
        } catch (const HelperFailure& error) {
            EXPECT_EQ(error.message().rfind("a recording's parameter sets cannot be read (-", 0),
                      0u)
                << error.message();
            EXPECT_EQ(error.message().back(), ')');
        }
        // Good sets later in the recording are taken.
        const auto decoded = decoder.decode(frame(goodSPS, goodPPS));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, 64);
    }
}

TEST(TouchPainter, ATrailOfOnePointStrokesNothingAndOfTwoALine) {
    auto opaquePixels = [](const std::vector<TouchMark::Point>& points) {
        const CairoSurfacePtr overlay =
            TouchPainter::paint({{TouchMark::Trail{points}, 1.0, false}}, 100, 100);
        EXPECT_TRUE(overlay);
        if (!overlay) return 0;
        const unsigned char* data = cairo_image_surface_get_data(overlay.get());
        const int stride = cairo_image_surface_get_stride(overlay.get());
        int count = 0;
        for (int y = 0; y < 100; ++y) {
            for (int x = 0; x < 100; ++x) count += data[y * stride + x * 4 + 3] != 0;
        }
        return count;
    };
    EXPECT_EQ(opaquePixels({{0.5, 0.5}}), 0);
    // A line 60 px long and 2.4 px wide.
    EXPECT_GT(opaquePixels({{0.2, 0.5}, {0.8, 0.5}}), 120);
}

TEST(RenderCommand, AnErrorThatIsNotAFailureSaysWhatFailed) {
    auto text = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return renderFailureText("rendering");
        }
        return std::string();
    };
    EXPECT_EQ(text([] { throw std::bad_alloc(); }), "rendering ran out of memory");
    EXPECT_EQ(text([] { throw std::length_error("vector::reserve"); }),
              "rendering failed: vector::reserve");
    EXPECT_EQ(text([] { throw 5; }), "rendering failed for an unknown reason");
    EXPECT_EQ(text([] { throw HelperFailure("the recording took no pictures", 502); }),
              "the recording took no pictures");
}

}  // namespace
}  // namespace tavrel
