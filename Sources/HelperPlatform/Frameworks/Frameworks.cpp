#include "HelperPlatform/Frameworks/Frameworks.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "HelperCore/Base/HelperFailure.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

extern char** environ;

namespace tavrel::Frameworks {

namespace {

// Libraries are never closed: classes they registered stay in use for the whole run.
bool open(const std::string& path, std::string* reason) {
    dlerror();
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) return true;
    if (reason != nullptr) {
        const char* text = dlerror();
        *reason = text != nullptr ? text : "unknown";
    }
    return false;
}

std::optional<std::string> bundleVersion() {
    auto cls = foreign::lookUpClass("SimDevice");
    if (!cls) return std::nullopt;
    auto info = cls->infoDictionary();
    auto dictionary = info.asDictionary();
    if (!dictionary) return std::nullopt;
    auto it = dictionary->find("CFBundleVersion");
    if (it == dictionary->end()) return std::nullopt;
    auto text = it->second.asString();
    if (!text) return std::nullopt;
    return std::string(*text);
}

}  // namespace

std::string onPlatform(std::string_view macPath) {
    return std::string(TAVREL_PLATFORM_ROOT) + std::string(macPath);
}

Environment processEnvironment() {
    Environment environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        environment.emplace(std::string(text.substr(0, equals)),
                            std::string(text.substr(equals + 1)));
    }
    return environment;
}

std::string developerDir(const Environment& environment) {
    return developerDir(environment, onPlatform(xcodeSelectLink), onPlatform(defaultDeveloperDir));
}

std::string developerDir(const Environment& environment, const std::string& selectLink,
                         const std::string& fallback) {
    if (auto it = environment.find("DEVELOPER_DIR"); it != environment.end() && !it->second.empty())
        return it->second;
    std::error_code error;
    auto target = std::filesystem::read_symlink(selectLink, error);
    if (!error && !target.empty()) return target.string();
    return fallback;
}

std::array<std::string, 2> simulatorKitCandidates(const std::string& developerDir) {
    std::filesystem::path dir(developerDir);
    // A trailing slash would make the directory its own parent.
    if (!dir.has_filename()) dir = dir.parent_path();
    return {(dir.parent_path() / "SharedFrameworks/SimulatorKit.framework/SimulatorKit").string(),
            (dir / "Library/PrivateFrameworks/SimulatorKit.framework/SimulatorKit").string()};
}

Loader::Loader(std::string coreSimulatorPath) : coreSimulatorPath_(std::move(coreSimulatorPath)) {}

std::optional<std::string> Loader::load(const std::string& developerDir) {
    std::lock_guard guard(lock_);
    if (loaded_) return version_;
    std::string reason;
    if (!open(coreSimulatorPath_, &reason)) {
        throw HelperFailure(
            "CoreSimulator could not be loaded from " + coreSimulatorPath_ + ": " + reason, 409);
    }
    bool kit = false;
    for (auto& candidate : simulatorKitCandidates(developerDir)) {
        if (open(candidate, nullptr)) {
            kit = true;
            break;
        }
    }
    if (!kit) {
        throw HelperFailure("SimulatorKit is not in the Xcode at " + developerDir +
                                "; name another with device.developer_dir",
                            409);
    }
    version_ = bundleVersion();
    loaded_ = true;
    return version_;
}

std::optional<std::string> load(const std::string& developerDir) {
    static Loader loader(onPlatform(coreSimulator));
    return loader.load(developerDir);
}

}  // namespace tavrel::Frameworks
