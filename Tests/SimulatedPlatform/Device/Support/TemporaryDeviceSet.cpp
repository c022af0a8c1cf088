#include "SimulatedPlatform/Device/Support/TemporaryDeviceSet.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace tavrel::sim::testing {
namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

SimctlResult simctl(const std::vector<std::string>& args) {
    const fs::path program = fs::path(TAVREL_BINARY_DIR) / "tavrel-simctl";
    char outName[] = "/tmp/simctl-out-XXXXXX";
    char errName[] = "/tmp/simctl-err-XXXXXX";
    const int out = mkstemp(outName), err = mkstemp(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<std::string> words = {program.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    SimctlResult result;
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    close(err);
    result.out = slurp(outName);
    result.err = slurp(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

TemporaryDeviceSet::TemporaryDeviceSet() {
    if (const char* home = std::getenv("HOME")) previousHome_ = home;
    char name[] = "/tmp/tavrel-home-XXXXXX";
    home_ = mkdtemp(name);
    setenv("HOME", home_.c_str(), 1);
}

TemporaryDeviceSet::~TemporaryDeviceSet() {
    for (const auto& record : set().devices()) {
        if (record.state == "Shutdown") continue;
        if (simctl({"shutdown", record.udid}).status != 0) {
            if (auto pid = DeviceSet::pid(record.directory)) kill(*pid, SIGKILL);
        }
    }
    std::error_code ignored;
    fs::remove_all(home_, ignored);
    if (previousHome_) {
        setenv("HOME", previousHome_->c_str(), 1);
    } else {
        unsetenv("HOME");
    }
}

DeviceSet TemporaryDeviceSet::set() const {
    return DeviceSet(home_ / "Library/Developer/CoreSimulator/Devices");
}

std::string TemporaryDeviceSet::create(const std::string& name, const std::string& type,
                                       const std::string& runtime) {
    auto result = simctl({"create", name, type, "--runtime", runtime});
    EXPECT_EQ(result.status, 0) << result.err;
    std::string udid = result.out;
    while (!udid.empty() && udid.back() == '\n') udid.pop_back();
    return udid;
}

fs::path TemporaryDeviceSet::boot(const std::string& name, const std::string& type,
                                  const std::string& runtime) {
    const std::string udid = create(name, type, runtime);
    auto result = simctl({"boot", udid});
    EXPECT_EQ(result.status, 0) << result.err;
    return set().root() / udid;
}

}  // namespace tavrel::sim::testing
