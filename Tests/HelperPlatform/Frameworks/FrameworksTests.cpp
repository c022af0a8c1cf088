#include "HelperPlatform/Frameworks/Frameworks.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "HelperCore/Base/HelperFailure.hpp"
#include "Support/TemporaryDirectory.hpp"

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

std::string platform(const std::string& path) {
    return Frameworks::onPlatform(path);
}

TEST(Frameworks, ChoosesTheDeveloperDirectory) {
    TemporaryDirectory directory;
    const auto link = directory.file("xcode_select_link");
    const auto missingLink = directory.file("no_link");
    fs::create_symlink("/Somewhere/Xcode-beta.app/Contents/Developer", link);
    struct Case {
        Frameworks::Environment environment;
        std::string link;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{{"DEVELOPER_DIR", "/Chosen/Developer"}}, link, "/Chosen/Developer"},
        // An empty choice counts as none; the link's target is taken as written.
        {{{"DEVELOPER_DIR", ""}}, link, "/Somewhere/Xcode-beta.app/Contents/Developer"},
        {{}, link, "/Somewhere/Xcode-beta.app/Contents/Developer"},
        {{}, missingLink, "/Fallback/Developer"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Frameworks::developerDir(c.environment, c.link, "/Fallback/Developer"),
                  c.expected);
    }
    // The build's platform root links to its own Xcode.
    EXPECT_EQ(Frameworks::developerDir({}), platform("/Applications/Xcode.app/Contents/Developer"));
}

TEST(Frameworks, LooksForSimulatorKitBesideAndInsideTheDeveloperDirectory) {
    for (const std::string dir : {"/Applications/Xcode.app/Contents/Developer",
                                  "/Applications/Xcode.app/Contents/Developer/"}) {
        auto candidates = Frameworks::simulatorKitCandidates(dir);
        EXPECT_EQ(candidates[0],
                  "/Applications/Xcode.app/Contents/SharedFrameworks/SimulatorKit.framework/"
                  "SimulatorKit");
        EXPECT_EQ(candidates[1],
                  "/Applications/Xcode.app/Contents/Developer/Library/PrivateFrameworks/"
                  "SimulatorKit.framework/SimulatorKit");
    }
}

TEST(Frameworks, RefusesAnXcodeWithoutSimulatorKit) {
    TemporaryDirectory directory;
    const auto developer = directory.path() / "Xcode.app/Contents/Developer";
    fs::create_directories(developer);
    Frameworks::Loader loader(platform(std::string(Frameworks::coreSimulator)));
    try {
        loader.load(developer.string());
        FAIL() << "loaded without SimulatorKit";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 409);
        EXPECT_EQ(failure.message(), "SimulatorKit is not in the Xcode at " + developer.string() +
                                         "; name another with device.developer_dir");
    }
    // A failed load is not remembered: the build's own Xcode loads afterwards.
    EXPECT_EQ(loader.load(Frameworks::developerDir({})), "1165.1");
}

TEST(Frameworks, RefusesAMissingCoreSimulatorNamingItsPath) {
    TemporaryDirectory directory;
    const auto missing = directory.file("CoreSimulator");
    Frameworks::Loader loader(missing);
    try {
        loader.load(Frameworks::developerDir({}));
        FAIL() << "loaded a missing library";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 409);
        const std::string start = "CoreSimulator could not be loaded from " + missing + ": ";
        EXPECT_EQ(failure.message().substr(0, start.size()), start);
        EXPECT_GT(failure.message().size(), start.size());
    }
}

TEST(Frameworks, RemembersTheFirstLoadWhateverDirectoryComesLater) {
    const auto version = Frameworks::load(Frameworks::developerDir({}));
    EXPECT_EQ(version, "1165.1");
    EXPECT_EQ(Frameworks::load("/no/such/Developer"), "1165.1");
}

}  // namespace
}  // namespace tavrel
