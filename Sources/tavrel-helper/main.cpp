// The entry point: parses the command line and hands each command to the code that runs it.
// Every path ends in an explicit exit with the command's status; standard output carries only
// one-line JSON reports, standard error the refusals and log lines.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Commands/Arguments.hpp"
#include "HelperCore/Commands/VersionReport.hpp"
#include "HelperPlatform/Capture/CaptureDevice.hpp"
#include "HelperPlatform/Render/RecordingRenderer.hpp"
#include "HelperPlatform/Simulator/SimulatorCommands.hpp"

namespace tavrel {
namespace {

// Statuses the entry point itself decides; each command's runner owns the rest.
constexpr int refusedStatus = 2;
// A command whose machinery this build does not have yet (EX_UNAVAILABLE), distinct from
// every status a command that runs can end with.
[[noreturn]] void exitWith(int status) {
    std::fflush(stdout);
    std::exit(status);
}

// A report that could not be written is a failure, whatever the command's own status.
[[noreturn]] void printAndExit(const std::string& document, int status) {
    std::fputs(document.c_str(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) std::exit(1);
    exitWith(status);
}

// Refusals and start-up failures are plain text, not log lines: they are meant for the person
// or host that typed the command.
[[noreturn]] void failAndExit(const std::string& message, int status) {
    Log::writeToStandardError(message);
    exitWith(status);
}

Command parseOrExit(const std::vector<std::string>& arguments) {
    try {
        return Command::parse(arguments);
    } catch (...) {
        failAndExit(HelperFailure::fromCurrentException().message(), refusedStatus);
    }
}

// Null when the selected Xcode's simulator frameworks cannot be loaded: the report is printed
// on any machine.
std::optional<std::string> coreSimulatorVersion() {
    return simulatorFrameworksVersion();
}

[[noreturn]] void runVersion() {
    printAndExit(JSON::encode(VersionReport(coreSimulatorVersion())), 0);
}

[[noreturn]] void runServe(const ServeOptions& options) {
    serveSimulator(options);
}

// The device is closed before the report is printed, so nothing of it runs at exit.
[[noreturn]] void runSelfCheck(const Command::SelfCheck& options) {
    const auto report = selfCheckSimulator(options.device);
    printAndExit(JSON::encode(report), report.ok() ? 0 : 1);
}

[[noreturn]] void runRender(const Command::Render& options) {
    const auto outcome = runRenderCommand(options.job);
    printAndExit(outcome.document, outcome.status);
}

[[noreturn]] void runCapture(const CaptureOptions& options) {
    serveCapture(options);
}

[[noreturn]] void run(const Command& command) {
    std::visit(
        [](const auto& options) {
            using Options = std::decay_t<decltype(options)>;
            if constexpr (std::is_same_v<Options, ServeOptions>) {
                runServe(options);
            } else if constexpr (std::is_same_v<Options, Command::SelfCheck>) {
                runSelfCheck(options);
            } else if constexpr (std::is_same_v<Options, Command::Render>) {
                runRender(options);
            } else if constexpr (std::is_same_v<Options, CaptureOptions>) {
                runCapture(options);
            } else {
                static_assert(std::is_same_v<Options, Command::Version>);
                runVersion();
            }
        },
        command.value);
    std::abort();  // every runner exits
}

}  // namespace
}  // namespace tavrel

int main(int argc, char** argv) {
    // Reports are read line by line by the host, even through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    tavrel::run(tavrel::parseOrExit(arguments));
}
