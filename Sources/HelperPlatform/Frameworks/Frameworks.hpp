#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

/// Finding Apple's frameworks at run time: the selected Xcode, CoreSimulator and SimulatorKit
/// for the simulator, and the system frameworks the capture of a cabled device loads. The macOS
/// paths below are resolved under the platform root the build chose (`onPlatform`); every
/// message names the resolved path.
namespace tavrel::Frameworks {

using Environment = std::map<std::string, std::string>;

inline constexpr std::string_view coreSimulator =
    "/Library/Developer/PrivateFrameworks/CoreSimulator.framework/CoreSimulator";
inline constexpr std::string_view accessibilityTranslation =
    "/System/Library/PrivateFrameworks/AccessibilityPlatformTranslation.framework/"
    "AccessibilityPlatformTranslation";
/// The system-wide Xcode selection, a symbolic link to a developer directory.
inline constexpr std::string_view xcodeSelectLink = "/var/db/xcode_select_link";
inline constexpr std::string_view defaultDeveloperDir =
    "/Applications/Xcode.app/Contents/Developer";

/// A macOS path as it lies under the platform root.
std::string onPlatform(std::string_view macPath);

/// The process environment as a map.
Environment processEnvironment();

/// "DEVELOPER_DIR" when set and not empty; else the target of the Xcode selection link, as
/// written; else the default developer directory.
std::string developerDir(const Environment& environment);
/// The same with the link and the fallback given (resolved paths).
std::string developerDir(const Environment& environment, const std::string& selectLink,
                         const std::string& fallback);

/// Where SimulatorKit may lie for a developer directory, in the order tried: beside it in
/// SharedFrameworks, then inside it under Library/PrivateFrameworks.
std::array<std::string, 2> simulatorKitCandidates(const std::string& developerDir);

/// Loads the two frameworks once: the first load that succeeds is remembered together with
/// the CoreSimulator version (the "CFBundleVersion" of the bundle holding the class
/// "SimDevice"), and later calls return that version whatever directory they pass. A failed
/// load is not remembered. Loaded libraries stay loaded for the life of the process.
///
/// Threads: safe from any thread; loads are serialised by one lock.
class Loader {
  public:
    /// `coreSimulatorPath` is the resolved path of the CoreSimulator library.
    explicit Loader(std::string coreSimulatorPath);

    /// The CoreSimulator version, or nothing when the framework does not tell it. Throws
    /// `HelperFailure` 409 when CoreSimulator cannot be opened or no SimulatorKit candidate of
    /// `developerDir` opens.
    std::optional<std::string> load(const std::string& developerDir);

  private:
    const std::string coreSimulatorPath_;
    std::mutex lock_;
    bool loaded_ = false;                 // guarded by lock_
    std::optional<std::string> version_;  // guarded by lock_
};

/// The process-wide load, from CoreSimulator under the platform root.
std::optional<std::string> load(const std::string& developerDir);

}  // namespace tavrel::Frameworks
