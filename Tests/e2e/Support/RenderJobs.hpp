#pragma once

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "e2e/Support/ChildProcess.hpp"

namespace tavrel::e2e {

/// Runs `tavrel-helper render --job {jobPath}`; a render that runs longer than `patience` is
/// killed and fails.
inline ProgramResult render(const std::string& jobPath, std::chrono::milliseconds patience) {
    return runProgram("tavrel-helper", {"render", "--job", jobPath}, patience);
}

/// Writes `job` as "job.json" in `folder` (a temporary folder or a simulator home) and renders it.
template <class Folder>
ProgramResult renderJob(const Folder& folder, const nlohmann::json& job,
                        std::chrono::milliseconds patience) {
    const std::string path = folder.file("job.json");
    std::ofstream(path) << job.dump();
    return render(path, patience);
}

/// A job that turns the frames file "r.tvrf" of `folder` into "o.mp4" there, with no touches, at
/// the recorded speed, and a GIF of `gifWidth` pixels at 10 frames a second.
template <class Folder>
nlohmann::json framesJob(const Folder& folder, int gifWidth) {
    return nlohmann::json{{"input", folder.file("r.tvrf")},
                          {"input_kind", "frames"},
                          {"touches", nlohmann::json::array()},
                          {"mp4", folder.file("o.mp4")},
                          {"codec", "h264"},
                          {"speed", 1},
                          {"gif_fps", 10},
                          {"gif_width", gifWidth}};
}

}  // namespace tavrel::e2e
