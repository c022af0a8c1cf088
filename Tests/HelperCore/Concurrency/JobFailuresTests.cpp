#include "HelperCore/Concurrency/JobFailures.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "Support/JobFailureLines.hpp"

namespace tavrel {
namespace {

using LoggedLines = testing::JobFailureLines;

// Each runner of jobs nobody waits on logs what a job threw, and runs the next job all the same.
TEST(JobFailures, AThrowingJobIsLoggedAndTheNextOneRuns) {
    using Submit = std::function<void(std::function<void()>)>;
    TaskPool pool("test.pool", 1, 1);
    SerialQueue queue("test.queue");
    const struct {
        std::string runner;
        Submit submit;
    } runners[] = {
        {"test.pool", [&](std::function<void()> job) { pool.run(std::move(job)); }},
        {"test.queue", [&](std::function<void()> job) { queue.async(std::move(job)); }},
    };
    const struct {
        std::function<void()> fail;
        std::string reason;
    } failures[] = {
        {[] { throw std::runtime_error("the disk is full"); }, "the disk is full"},
        {[] { throw HelperFailure("no device", 404); }, "no device"},
        {[] { throw 7; }, "unknown error"},
    };
    for (const auto& runner : runners) {
        for (const auto& failure : failures) {
            SCOPED_TRACE(runner.runner + ": " + failure.reason);
            LoggedLines logged;
            std::promise<void> next;
            runner.submit(failure.fail);
            runner.submit([&next] { next.set_value(); });
            ASSERT_EQ(next.get_future().wait_for(std::chrono::seconds(20)),
                      std::future_status::ready);
            EXPECT_EQ(logged.taken(), std::vector<std::string>{"[error] a job on " + runner.runner +
                                                               " failed: " + failure.reason});
        }
    }
}

}  // namespace
}  // namespace tavrel
