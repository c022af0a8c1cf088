#include "HelperCore/Render/RenderJob.hpp"

#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {
namespace {

using nlohmann::json;

// Thrown while decoding; its text becomes the job's "not a render job: ..." description.
struct NotAJob : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const json& field(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw NotAJob(std::string("the key \"") + key + "\" is missing");
    return *found;
}

[[noreturn]] void wrongType(const char* key, const char* type) {
    throw NotAJob(std::string("the key \"") + key + "\" is not " + type);
}

std::string text(const json& object, const char* key) {
    const json& value = field(object, key);
    if (!value.is_string()) wrongType(key, "a string");
    return value.get<std::string>();
}

double number(const json& object, const char* key) {
    const json& value = field(object, key);
    if (!value.is_number()) wrongType(key, "a number");
    return value.get<double>();
}

// A whole number, also when written with a fraction of zero (15.0).
std::int64_t integer(const json& object, const char* key) {
    const json& value = field(object, key);
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX) {
            wrongType(key, "a whole number in range");
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double real = value.get<double>();
        if (std::trunc(real) == real && std::fabs(real) < 9.2e18) {
            return static_cast<std::int64_t>(real);
        }
    }
    wrongType(key, "a whole number");
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) wrongType(key, "a string");
    return found->get<std::string>();
}

std::vector<std::vector<double>> pointList(const json& points, const char* key) {
    if (!points.is_array()) wrongType(key, "an array");
    std::vector<std::vector<double>> list;
    for (const json& point : points) {
        if (!point.is_array()) wrongType(key, "an array of arrays of numbers");
        std::vector<double> coordinates;
        for (const json& coordinate : point) {
            if (!coordinate.is_number()) wrongType(key, "an array of arrays of numbers");
            coordinates.push_back(coordinate.get<double>());
        }
        list.push_back(std::move(coordinates));
    }
    return list;
}

RecordedTouch touch(const json& value, std::size_t index) {
    if (!value.is_object()) throw NotAJob("touch " + std::to_string(index) + " is not an object");
    RecordedTouch touch;
    touch.t = number(value, "t");
    touch.kind = text(value, "kind");
    touch.points = pointList(field(value, "points"), "points");
    if (const auto two = value.find("points_two"); two != value.end() && !two->is_null())
        touch.pointsTwo = pointList(*two, "points_two");
    touch.duration = number(value, "duration");
    touch.by = text(value, "by");
    return touch;
}

RenderJob decode(std::string_view data) {
    json document;
    try {
        document = json::parse(data);
    } catch (const json::exception& error) {
        throw NotAJob(error.what());
    }
    if (!document.is_object()) throw NotAJob("the document is not an object");
    RenderJob job;
    job.input = text(document, "input");
    const std::string kind = text(document, "input_kind");
    if (kind == "movie") {
        job.inputKind = RenderJob::InputKind::movie;
    } else if (kind == "frames") {
        job.inputKind = RenderJob::InputKind::frames;
    } else {
        throw NotAJob("\"input_kind\" is \"movie\" or \"frames\", not \"" + kind + "\"");
    }
    const json& touches = field(document, "touches");
    if (!touches.is_array()) wrongType("touches", "an array");
    for (std::size_t index = 0; index < touches.size(); ++index) {
        job.touches.push_back(touch(touches[index], index));
    }
    job.mp4 = optionalText(document, "mp4");
    job.gif = optionalText(document, "gif");
    job.codec = text(document, "codec");
    job.speed = number(document, "speed");
    job.gifFps = integer(document, "gif_fps");
    job.gifWidth = integer(document, "gif_width");
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
