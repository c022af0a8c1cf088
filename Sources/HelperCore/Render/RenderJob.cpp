#include "HelperCore/Render/RenderJob.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSONMembers.hpp"

namespace tavrel {
namespace {

using nlohmann::json;

// Thrown while decoding; its text becomes the job's "not a render job: ..." description.
struct NotAJob : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<std::vector<double>> pointList(const json& points, const std::string& key) {
    std::vector<std::vector<double>> list;
    for (const json& point : points) {
        if (!point.is_array())
            throw NotAJob("\"" + key + "\" is not an array of arrays of numbers");
        std::vector<double> coordinates;
        for (const json& coordinate : point) {
            if (!coordinate.is_number()) {
                throw NotAJob("\"" + key + "\" is not an array of arrays of numbers");
            }
            coordinates.push_back(coordinate.get<double>());
        }
        list.push_back(std::move(coordinates));
    }
    return list;
}

RecordedTouch touch(const json& value, std::size_t index) {
    const JSONMembers members(value, "touch " + std::to_string(index));
    RecordedTouch touch;
    touch.t = members.requiredNumber("t");
    touch.kind = members.requiredString("kind");
    touch.points = pointList(members.requiredArray("points"), "points");
    if (const json* two = members.array("points_two"))
        touch.pointsTwo = pointList(*two, "points_two");
    touch.duration = members.requiredNumber("duration");
    touch.by = members.requiredString("by");
    return touch;
}

RenderJob decode(std::string_view data) {
    json document;
    try {
        document = json::parse(data);
    } catch (const json::exception& error) {
        throw NotAJob(error.what());
    }
    const JSONMembers members(document, "a render job");
    RenderJob job;
    job.input = members.requiredString("input");
    const std::string kind = members.requiredString("input_kind");
    if (kind == "movie") {
        job.inputKind = RenderJob::InputKind::movie;
    } else if (kind == "frames") {
        job.inputKind = RenderJob::InputKind::frames;
    } else {
        throw NotAJob("\"input_kind\" is \"movie\" or \"frames\", not \"" + kind + "\"");
    }
    const json& touches = members.requiredArray("touches");
    for (std::size_t index = 0; index < touches.size(); ++index) {
        job.touches.push_back(touch(touches[index], index));
    }
    job.mp4 = members.string("mp4");
    job.gif = members.string("gif");
    job.codec = members.requiredString("codec");
    job.speed = members.requiredNumber("speed");
    job.gifFps = members.requiredInteger("gif_fps");
    job.gifWidth = members.requiredInteger("gif_width");
    return job;
}

[[noreturn]] void refuse(const std::string& message) {
    throw HelperFailure(message, 400);
}

}  // namespace

RenderJob RenderJob::read(std::string_view data) {
    RenderJob job;
    try {
        job = decode(data);
    } catch (const NotAJob& error) {
        refuse(std::string("not a render job: ") + error.what());
    } catch (const JSONMemberError& error) {
        refuse(std::string("not a render job: ") + error.what());
    }
    if (!job.mp4 && !job.gif) refuse("a render job names no file to write");
    if (job.codec != "h264" && job.codec != "hevc") refuse("not a codec: " + job.codec);
    // Written so that NaN fails too.
    if (!(job.speed >= slowest && job.speed <= fastest)) refuse("speed must be 0.25 to 8");
    if (job.gifFps < fewestGifFps || job.gifFps > mostGifFps) refuse("gif_fps must be 1 to 30");
    if (job.gifWidth < narrowestGif || job.gifWidth > widestGif) {
        refuse("gif_width must be 64 to 2000");
    }
    return job;
}

void to_json(nlohmann::json& json, const RecordedTouch& touch) {
    json = nlohmann::json{{"t", touch.t},
                          {"kind", touch.kind},
                          {"points", touch.points},
                          {"duration", touch.duration},
                          {"by", touch.by}};
    if (!touch.pointsTwo.empty()) json["points_two"] = touch.pointsTwo;
}

void to_json(nlohmann::json& json, const RenderJob& job) {
    json = nlohmann::json{
        {"input", job.input},
        {"input_kind", job.inputKind == RenderJob::InputKind::movie ? "movie" : "frames"},
        {"touches", job.touches},
        {"codec", job.codec},
        {"speed", job.speed},
        {"gif_fps", job.gifFps},
        {"gif_width", job.gifWidth}};
    if (job.mp4) json["mp4"] = *job.mp4;
    if (job.gif) json["gif"] = *job.gif;
}

void to_json(nlohmann::json& json, const RenderedFile& file) {
    json = nlohmann::json{{"path", file.path},
                          {"format", file.format},
                          {"width", file.width},
                          {"height", file.height},
                          {"duration_s", file.durationS}};
}

void to_json(nlohmann::json& json, const RenderReport& report) {
    json = nlohmann::json{{"files", report.files}};
}

}  // namespace tavrel
