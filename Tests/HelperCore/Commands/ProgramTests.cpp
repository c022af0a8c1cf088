// Runs the built tavrel-helper program and checks what reaches standard output, standard
// error and the exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HelperCore/Commands/Arguments.hpp"

extern char** environ;

namespace tavrel {
namespace {

const std::string program = std::string(TAVREL_BINARY_DIR) + "/tavrel-helper";

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1;
};

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Output goes to files rather than pipes, so a chatty child can never block on a full pipe.
ProgramRun runProgram(const std::vector<std::string>& arguments) {
    char folderTemplate[] = "/tmp/tavrel-program-XXXXXX";
    const char* folder = ::mkdtemp(folderTemplate);
    if (!folder) {
        ADD_FAILURE() << "no temporary folder";
        return {};
    }
    const std::string outPath = std::string(folder) + "/out";
    const std::string errPath = std::string(folder) + "/err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    ProgramRun run;
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << " (build the tavrel-helper target)";
    } else {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = readFile(outPath);
        run.err = readFile(errPath);
    }
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    ::rmdir(folder);
    return run;
}

TEST(Program, PrintsTheVersionReportAsOneLine) {
    // A developer directory without SimulatorKit keeps the frameworks unloaded, so the
    // CoreSimulator version is unknown whatever the build laid out.
    ::setenv("DEVELOPER_DIR", "/nonexistent-developer-dir", 1);
    const ProgramRun result = runProgram({"version"});
    ::unsetenv("DEVELOPER_DIR");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "{\"core_simulator\":null,\"features\":[\"render\",\"capture\"],"
              "\"version\":\"2.0.1\",\"wire\":1}\n");
    EXPECT_EQ(result.err, "");
}

TEST(Program, RefusesABadCommandLineOnStandardErrorWithStatus2) {
    const std::string usage(Command::usage);
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{}, usage + "\n"},
        {{"launch"}, "not a command: launch\n" + usage + "\n"},
        {{"version", "--x"}, "--x needs a value\n"},
        {{"serve", "--udid", "A"}, "serve needs --socket\n" + usage + "\n"},
        {{"serve", "--udid", "A", "--socket", "/s", "--parent-pid", "1"}, "not a pid: 1\n"},
        {{"render", "--job", "job.json"},
         "render needs --job and the absolute path of its job\n" + usage + "\n"},
        {{"capture", "--udid", "U", "--name", "N", "--socket", "/s", "--width-px", "0",
          "--height-px", "2556", "--scale", "3"},
         "the device reports no screen size (0.0x2556.0 at 3.0x)\n"},
    };
    for (const auto& c : cases) {
        const ProgramRun result = runProgram(c.arguments);
        const std::string shown = c.arguments.empty() ? "(none)" : c.arguments.front();
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, c.err) << shown;
    }
}

TEST(Program, FailsWhenTheReportCannotBeWritten) {
    // /dev/full takes the open but refuses every write.
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const std::string command = "'" + program + "' version >/dev/full 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tavrel
