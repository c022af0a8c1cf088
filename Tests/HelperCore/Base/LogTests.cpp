#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "HelperCore/Base/Log.hpp"

namespace tavrel {
namespace {

using Level = Log::Level;

TEST(Log, WritesOnlyLevelsAtOrAboveItsOwnAndEvaluatesNothingElse) {
    const Level all[] = {Level::debug, Level::info, Level::warning, Level::error};
    for (Level configured : all) {
        std::vector<std::string> lines;
        int evaluated = 0;
        const Log log(configured, [&](const std::string& line) { lines.push_back(line); });
        auto message = [&](const char* text) {
            return [&evaluated, text] {
                ++evaluated;
                return std::string(text);
            };
        };
        log.debug(message("d"));
        log.info(message("i"));
        log.warning(message("w"));
        log.error(message("e"));

        std::vector<std::string> expected;
        for (Level level : all) {
            if (level >= configured) {
                expected.push_back("[" + std::string(Log::name(level)) + "] " +
                                   std::string(1, Log::name(level)[0]));
            }
        }
        EXPECT_EQ(lines, expected) << Log::name(configured);
        EXPECT_EQ(evaluated, static_cast<int>(expected.size())) << Log::name(configured);
    }
}

TEST(Log, FormatsTheLevelNameAndTheMessage) {
    std::vector<std::string> lines;
    const Log log(Level::debug, [&](const std::string& line) { lines.push_back(line); });
    log.info("stopping: signal 15");
    log.info("");
    log.warning(std::string("slow frame: 48ms"));
    log.debug([] { return "a [bracketed] message"; });
    const Log copy = log;
    copy.error([] { return std::string("the socket is gone"); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[info] stopping: signal 15", "[info] ", "[warning] slow frame: 48ms",
                         "[debug] a [bracketed] message", "[error] the socket is gone"}));
}

TEST(Log, KnowsExactlyFourLevelNamesInOrder) {
    EXPECT_EQ(Log::levelNamed("debug"), Level::debug);
    EXPECT_EQ(Log::levelNamed("info"), Level::info);
    EXPECT_EQ(Log::levelNamed("warning"), Level::warning);
    EXPECT_EQ(Log::levelNamed("error"), Level::error);
    for (const char* other : {"Info", "WARN", "warn", "", " info", "info ", "fatal", "0"}) {
        EXPECT_EQ(Log::levelNamed(other), std::nullopt) << other;
    }
    EXPECT_LT(Level::debug, Level::info);
    EXPECT_LT(Level::info, Level::warning);
    EXPECT_LT(Level::warning, Level::error);
    EXPECT_EQ(static_cast<int>(Level::error), 3);
}

// Standard error is swapped for a pipe while threads log through the default write function.
TEST(Log, DefaultWriteKeepsEachLineWholeAcrossThreads) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::fflush(stderr);
    const int savedError = ::dup(STDERR_FILENO);
    ASSERT_GE(savedError, 0);
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);

    constexpr int threadCount = 4;
    constexpr int linesPerThread = 50;
    const std::string body(200, 'x');
    std::string captured;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
            captured.append(buffer, static_cast<std::size_t>(count));
        }
    });
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < threadCount; ++t) {
            writers.emplace_back([&, t] {
                const Log log(Level::info);
                for (int i = 0; i < linesPerThread; ++i) log.info(std::to_string(t) + body);
            });
        }
    }
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    reader.join();
    ::close(pipeEnds[0]);

    std::vector<int> perThread(threadCount);
    std::size_t start = 0;
    int lineCount = 0;
    for (std::size_t end; (end = captured.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = captured.substr(start, end - start);
        ASSERT_EQ(line.size(), 7 + 1 + body.size()) << line;
        ASSERT_EQ(line.substr(0, 7), "[info] ");
        ASSERT_EQ(line.substr(8), body);
        ++perThread[line[7] - '0'];
        ++lineCount;
    }
    EXPECT_EQ(start, captured.size());
    EXPECT_EQ(lineCount, threadCount * linesPerThread);
    for (int count : perThread) EXPECT_EQ(count, linesPerThread);
}

}  // namespace
}  // namespace tavrel
