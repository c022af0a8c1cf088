// The render command given careless or hostile inputs, as a host or another local process could:
// each is refused at once with one {"error":…} line and exit status 1, and no file of the
// caller's is written, replaced or left half made.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "HelperPlatform/Support/Recordings.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "e2e/Support/ChildProcess.hpp"
#include "e2e/Support/RenderJobs.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Long enough for a loaded machine; a render that hangs or runs on is killed and fails.
constexpr std::chrono::milliseconds patience(30000);

ProgramResult render(const std::string& jobPath) {
    return e2e::render(jobPath, patience);
}

ProgramResult renderJob(const testing::TemporaryDirectory& folder, const json& job) {
    return e2e::renderJob(folder, job, patience);
}

json jobFor(const testing::TemporaryDirectory& folder) {
    return framesJob(folder, 64);
}

Bytes contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// What a folder holds: each entry's kind and, for a regular file, its size and a hash of its
// bytes; for a link, where it leads. The job file is left out: each case writes its own.
std::map<std::string, std::string> listing(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (name == "job.json") continue;
        const auto status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (fs::is_regular_file(status)) {
            const Bytes bytes = contentOf(entry.path());
            const std::string text(bytes.begin(), bytes.end());
            entries[name] = "file of " + std::to_string(bytes.size()) + " bytes, hash " +
                            std::to_string(std::hash<std::string>()(text));
        } else {
            entries[name] = "kind " + std::to_string(static_cast<int>(status.type()));
        }
    }
    return entries;
}

// The refusal: one line holding only the error, status 1.
void expectRefused(const ProgramResult& result, const std::string& error) {
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    ASSERT_FALSE(result.out.empty()) << result.err;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
    const json printed = json::parse(result.out, nullptr, false);
    EXPECT_EQ(printed, (json{{"error", error}}));
}

// The length of an MP4's "mdat" box's payload is zeroed: every frame stays where it was but
// none can be decoded. Top-level boxes only, as ffmpeg writes them.
void zeroMediaData(const std::string& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    Bytes bytes = contentOf(path);
    std::size_t at = 0;
    while (at + 8 <= bytes.size()) {
        std::uint64_t size = 0;
        for (int index = 0; index < 4; ++index) size = size << 8 | bytes[at + index];
        std::size_t header = 8;
        if (size == 1) {
            size = 0;
            for (int index = 8; index < 16; ++index) size = size << 8 | bytes[at + index];
            header = 16;
        }
        const std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + 8));
        if (size == 0) size = bytes.size() - at;
        if (type == "mdat") {
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at + header),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + size), 0);
        }
        at += size;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST(RenderInput, AMovieOfUnreadableFramesFailsWithoutWritingAnything) {
    testing::TemporaryDirectory folder;
    const std::string movie = folder.file("m.mp4");
    int status = 0;
    testing::commandOutput(
        "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -t 1 "
        "-c:v libx264 -pix_fmt yuv420p '" +
            movie + "' 2>&1",
        &status);
    ASSERT_EQ(status, 0);
    zeroMediaData(movie);
    // ffmpeg itself finds the movie, its track and its ten packets, and not one picture in them
    // (it says N/A for none).
    const std::string probed = testing::commandOutput(
        "ffprobe -v quiet -count_frames -count_packets -select_streams v:0 -show_entries "
        "stream=width,nb_read_packets,nb_read_frames -of csv=p=0 '" +
        movie + "'");
    EXPECT_TRUE(probed == "64,N/A,10\n" || probed == "64,0,10\n") << probed;
    const auto before = listing(folder.path());
    for (const bool both : {true, false}) {
        SCOPED_TRACE(both ? "mp4 and gif" : "gif alone");
        json job = jobFor(folder);
        job["input"] = movie;
        job["input_kind"] = "movie";
        job["gif"] = folder.file("o.gif");
        if (!both) job.erase("mp4");
        expectRefused(renderJob(folder, job), "the recording took no pictures");
        EXPECT_EQ(listing(folder.path()), before);
    }
}

TEST(RenderInput, AStrayFrameTimeIsRefusedWithTheRecordingsLength) {
    testing::TemporaryDirectory folder;
    const std::string recording = folder.file("r.tvrf");
    struct Case {
        double time;
        std::string length;  // empty: rendered
    };
    const Case cases[] = {
        {10'000, "10000.0"},
        {1e6, "1000000.0"},
        {1e9, "1000000000.0"},
        {1e300, "1e+300"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time);
        fs::remove_all(folder.path());
        fs::create_directory(folder.path());
        // Five good frames, then a sixth far away.
        testing::writeH264Recording(recording, 64, 48, 5, 10, [](int index, testing::Painting& p) {
            p.fill(0, 0, p.width, p.height, {100, 100, 100});
            p.fill(index * 8, 8, 8, 8, {250, 250, 250});
        });
        const Bytes good = contentOf(recording);
        {
            testing::FrameFileWriter file(folder.file("r2.tvrf"));
            file.addRaw(Bytes(good.begin() + FrameFile::magic.size(), good.end()));
            file.add(FrameFile::Kind::h264, c.time, {0, 0, 0, 1, 0x09, 0xF0});
        }
        fs::rename(folder.file("r2.tvrf"), recording);
        std::ofstream(folder.file("o.mp4")) << "the previous movie";
        const auto before = listing(folder.path());
        json job = jobFor(folder);
        job["gif"] = folder.file("o.gif");
        const ProgramResult result = renderJob(folder, job);
        if (c.length.empty()) {
            ASSERT_EQ(result.status, 0) << result.out << result.err;
            // Three seconds: the still stretch is the last picture, held.
            EXPECT_EQ(json::parse(result.out)["files"][0]["duration_s"], 3.0);
            EXPECT_EQ(testing::commandOutput("ffprobe -v error -count_frames -show_entries "
                                             "stream=nb_read_frames -of csv=p=0 '" +
                                             folder.file("o.mp4") + "'"),
                      "90\n");
            continue;
        }
        expectRefused(result, "the recording lasts " + c.length +
                                  "s, longer than the 3600.0s a render takes");
        EXPECT_EQ(listing(folder.path()), before);
    }
}

TEST(RenderInput, AJobThatWouldWriteOverItsInputOrItselfIsRefused) {
    testing::TemporaryDirectory folder;
    testing::writeJPEGRecording(folder.file("r.tvrf"), 32, 32, 3, 10,
                                [](int, testing::Painting& p) {
                                    p.fill(0, 0, p.width, p.height, {90, 90, 90});
                                });
    fs::create_directory(folder.file("sub"));
    fs::create_hard_link(folder.file("r.tvrf"), folder.file("hard.mp4"));
    fs::create_symlink(folder.file("r.tvrf"), folder.file("soft.mp4"));
    std::ofstream(folder.file("old.mp4")) << "an older movie";
    fs::create_symlink("old.mp4", folder.file("old-link.gif"));
    struct Case {
        std::optional<std::string> mp4, gif;
        std::string error;
    };
    const std::string input = folder.file("r.tvrf");
    const Case cases[] = {
        {input, std::nullopt, "the job's mp4 would replace its input: " + input},
        {folder.file("sub/../r.tvrf"), std::nullopt,
         "the job's mp4 would replace its input: " + folder.file("sub/../r.tvrf")},
        {folder.file("hard.mp4"), std::nullopt,
         "the job's mp4 would replace its input: " + folder.file("hard.mp4")},
        {folder.file("soft.mp4"), std::nullopt,
         "the job's mp4 would replace its input: " + folder.file("soft.mp4")},
        {std::nullopt, input, "the job's gif would replace its input: " + input},
        {folder.file("o.out"), folder.file("o.out"),
         "the job's mp4 and gif are the same file: " + folder.file("o.out")},
        {folder.file("o.out"), folder.file("sub/../o.out"),
         "the job's mp4 and gif are the same file: " + folder.file("sub/../o.out")},
        {folder.file("old.mp4"), folder.file("old-link.gif"),
         "the job's mp4 and gif are the same file: " + folder.file("old-link.gif")},
    };
    const auto before = listing(folder.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        json job = jobFor(folder);
        job.erase("mp4");
        if (c.mp4) job["mp4"] = *c.mp4;
        if (c.gif) job["gif"] = *c.gif;
        expectRefused(renderJob(folder, job), c.error);
        EXPECT_EQ(listing(folder.path()), before);
    }
}

TEST(RenderInput, OnlyRegularFilesAreReadOrReplaced) {
    testing::TemporaryDirectory folder;
    testing::writeJPEGRecording(folder.file("r.tvrf"), 32, 32, 3, 10,
                                [](int, testing::Painting& p) {
                                    p.fill(0, 0, p.width, p.height, {90, 90, 90});
                                });
    ASSERT_EQ(::mkfifo(folder.file("fifo").c_str(), 0600), 0);
    fs::create_directory(folder.file("dir"));
    fs::create_symlink(folder.file("nowhere"), folder.file("dangling.mp4"));
    fs::create_symlink(folder.file("fifo"), folder.file("fifo-link.mp4"));
    // A device node of its own, as root may make one: the same device as /dev/full.
    const bool device = ::mknod(folder.file("full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0;
    {
        std::ofstream large(folder.file("large.json"));
        large << jobFor(folder).dump() << std::string(4 * 1024 * 1024, ' ');
    }

    struct Case {
        std::string jobPath;  // empty: the job below, written to job.json
        std::function<void(json&)> change;
        std::string error;
    };
    const Case cases[] = {
        {"/dev/zero", {}, "the render job is not a regular file: /dev/zero"},
        {folder.file("fifo"), {}, "the render job is not a regular file: " + folder.file("fifo")},
        {folder.file("dir"), {}, "the render job is not a regular file: " + folder.file("dir")},
        {folder.file("large.json"),
         {},
         "the render job is larger than 4194304 bytes: " + folder.file("large.json")},
        {"", [](json& job) { job["input"] = "/dev/zero"; },
         "the recording is not a regular file: /dev/zero"},
        {"", [&](json& job) { job["input"] = folder.file("fifo"); },
         "the recording is not a regular file: " + folder.file("fifo")},
        {"",
         [&](json& job) {
             job["input"] = folder.file("fifo");
             job["input_kind"] = "movie";
         },
         "the recording is not a regular file: " + folder.file("fifo")},
        {"", [&](json& job) { job["mp4"] = folder.file("fifo"); },
         "the job's mp4 would replace what is not a regular file: " + folder.file("fifo")},
        {"", [&](json& job) { job["gif"] = folder.file("dir"); },
         "the job's gif would replace what is not a regular file: " + folder.file("dir")},
        {"", [&](json& job) { job["mp4"] = folder.file("dangling.mp4"); },
         "the job's mp4 would replace what is not a regular file: " + folder.file("dangling.mp4")},
        {"", [&](json& job) { job["mp4"] = folder.file("fifo-link.mp4"); },
         "the job's mp4 would replace what is not a regular file: " + folder.file("fifo-link.mp4")},
        {"",
         [&](json& job) {
             if (device) job["gif"] = folder.file("full");
         },
         device ? "the job's gif would replace what is not a regular file: " + folder.file("full")
                : ""},
    };
    const auto before = listing(folder.path());
    for (const Case& c : cases) {
        if (c.error.empty()) continue;  // no device node without root
        SCOPED_TRACE(c.error);
        ProgramResult result;
        if (c.jobPath.empty()) {
            json job = jobFor(folder);
            c.change(job);
            result = renderJob(folder, job);
        } else {
            result = render(c.jobPath);
        }
        expectRefused(result, c.error);
        EXPECT_EQ(listing(folder.path()), before);
    }
    if (!device) GTEST_SKIP() << "a device node needs root; the rest has run";
}

TEST(RenderInput, AnOutputThatIsALinkIsWrittenThroughAndStaysALink) {
    testing::TemporaryDirectory folder;
    testing::writeJPEGRecording(folder.file("r.tvrf"), 32, 32, 3, 10,
                                [](int, testing::Painting& p) {
                                    p.fill(0, 0, p.width, p.height, {90, 90, 90});
                                });
    fs::create_directory(folder.file("movies"));
    std::ofstream(folder.file("movies/kept.mp4")) << "the previous movie";
    fs::create_symlink("movies/kept.mp4", folder.file("o.mp4"));
    const ProgramResult result = renderJob(folder, jobFor(folder));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(fs::is_symlink(folder.file("o.mp4")));
    EXPECT_EQ(fs::read_symlink(folder.file("o.mp4")), "movies/kept.mp4");
    EXPECT_EQ(testing::commandOutput("ffprobe -v error -show_entries stream=codec_name,width "
                                     "-of csv=p=0 '" +
                                     folder.file("movies/kept.mp4") + "'"),
              "h264,32\n");
    // Written beside the file it replaced, and nothing left there.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.file("movies")), {}), 1);
}

}  // namespace
}  // namespace tavrel::e2e
