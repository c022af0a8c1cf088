#include "HelperCore/Concurrency/Strand.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Concurrency/TaskPool.hpp"
#include "Support/JobFailureLines.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

// A strand over a pool the test runs by hand, on its own thread: what ran where, in which order.
struct Scripted {
    std::vector<std::function<void()>> jobs;  // submitted, not yet run
    bool refuse = false;                      // the pool can take no job at all
    std::vector<std::string> events;
    std::unique_ptr<Strand> strand = std::make_unique<Strand>([this](std::function<void()> job) {
        if (refuse)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        jobs.push_back(std::move(job));
    });

    // Work that notes its tag and where it ran, then does `then`.
    Strand::Work note(std::string tag, std::function<void()> then = {}) {
        return [this, tag, then](Strand::Where where) {
            events.push_back(tag + (where == Strand::Where::caller ? "@caller" : "@pool"));
            if (then) then();
        };
    }
    void runPool() {
        while (!jobs.empty()) {
            auto job = std::move(jobs.front());
            jobs.erase(jobs.begin());
            job();
        }
    }
};

using LoggedLines = testing::JobFailureLines;

TEST(Strand, RunsInPlaceWhenFreeQueuesInOrderOtherwiseAndHandsOverToThePool) {
    const struct {
        std::string name;
        std::function<void(Scripted&)> script;
        std::vector<std::string> events;
        std::vector<std::string> logged;
    } cases[] = {
        {"a free strand runs work at once on the caller's thread",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a"));
             s.strand->dispatch(s.note("b"));
             s.events.push_back(std::to_string(s.jobs.size()) + " jobs");
         },
         {"a@caller", "b@caller", "0 jobs"},
         {}},
        {"work dispatched while the strand is taken runs after it, in order, on the pool",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] {
                 s.strand->dispatch(s.note("b"));
                 s.strand->dispatch(s.note("c"));
                 s.events.push_back("a returns");
             }));
             s.events.push_back(std::to_string(s.jobs.size()) + " job");
             s.runPool();
         },
         {"a@caller", "a returns", "1 job", "b@pool", "c@pool"},
         {}},
        {"handed-over work goes before what was queued meanwhile",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] {
                 s.strand->dispatch(s.note("queued"));
                 s.strand->continueOnPool(s.note("handed"));
             }));
             s.runPool();
         },
         {"a@caller", "handed@pool", "queued@pool"},
         {}},
        {"the strand stays taken until the handed-over work ends",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] { s.strand->continueOnPool(s.note("handed")); }));
             s.strand->dispatch(s.note("b"));  // from the caller's thread, after `a` returned
             s.runPool();
             s.strand->dispatch(s.note("c"));
         },
         {"a@caller", "handed@pool", "b@pool", "c@caller"},
         {}},
        {"handed-over work may hand over again",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] {
                 s.strand->continueOnPool(
                     s.note("b", [&s] { s.strand->continueOnPool(s.note("c")); }));
             }));
             s.strand->dispatch(s.note("d"));
             s.runPool();
         },
         {"a@caller", "b@pool", "c@pool", "d@pool"},
         {}},
        {"a refused hand-over leaves the strand with the caller's work",
         [](Scripted& s) {
             s.refuse = true;
             s.strand->dispatch(s.note("a", [&s] {
                 try {
                     s.strand->continueOnPool(s.note("handed"));
                 } catch (const std::system_error&) {
                     s.events.push_back("refused");
                 }
             }));
             s.refuse = false;
             s.strand->dispatch(s.note("b"));
         },
         {"a@caller", "refused", "b@caller"},
         {}},
        {"with no worker at all the queue runs on the thread that frees the strand",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] {
                 s.strand->dispatch(s.note("b"));
                 s.strand->dispatch(s.note("c"));
                 s.refuse = true;
             }));
             s.refuse = false;
             s.strand->dispatch(s.note("d"));
         },
         {"a@caller", "b@caller", "c@caller", "d@caller"},
         {"[error] a job on a strand, run by its caller instead failed: Resource temporarily "
          "unavailable"}},
        {"work that throws is logged and the strand goes on",
         [](Scripted& s) {
             s.strand->dispatch(
                 [](Strand::Where) { throw std::runtime_error("the disk is full"); });
             s.strand->dispatch(
                 s.note("a", [&s] { s.strand->continueOnPool([](Strand::Where) { throw 7; }); }));
             s.strand->dispatch(s.note("b"));
             s.runPool();
             s.strand->dispatch(s.note("c"));
         },
         {"a@caller", "b@pool", "c@caller"},
         {"[error] a job on a strand failed: the disk is full",
          "[error] a job on a strand failed: unknown error"}},
        {"a hand-over from outside the strand's work is refused",
         [](Scripted& s) {
             auto handOver = [&s] {
                 try {
                     s.strand->continueOnPool(s.note("never"));
                 } catch (const std::logic_error&) {
                     s.events.push_back("refused");
                 }
             };
             handOver();
             Strand other([](std::function<void()> job) { job(); });
             other.dispatch([&](Strand::Where) { handOver(); });
             s.strand->dispatch(s.note("a", [&] {
                 s.strand->continueOnPool(s.note("b"));
                 handOver();  // a second hand-over from the same work
             }));
             s.runPool();
         },
         {"refused", "refused", "a@caller", "refused", "b@pool"},
         {}},
        {"queued work runs after its strand is gone",
         [](Scripted& s) {
             s.strand->dispatch(s.note("a", [&s] { s.strand->dispatch(s.note("b")); }));
             s.strand.reset();
             s.runPool();
         },
         {"a@caller", "b@pool"},
         {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        LoggedLines logged;
        Scripted scripted;
        test.script(scripted);
        EXPECT_EQ(scripted.events, test.events);
        EXPECT_EQ(logged.taken(), test.logged);
        EXPECT_TRUE(scripted.jobs.empty());
    }
}

// Threads dispatching at once, some work handing the strand over: never two pieces at once, and
// each thread's pieces in its order.
TEST(Strand, WorkFromManyThreadsNeverOverlapsAndKeepsEachThreadsOrder) {
    TaskPool pool("test.strand", 4, 8);
    Strand strand([&pool](std::function<void()> job) { pool.run(std::move(job)); });
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> onPool{0};
    std::mutex mutex;
    std::vector<int> seen;  // guarded by mutex
    constexpr int threads = 4;
    constexpr int each = 300;
    auto piece = [&](int value) {
        return [&, value](Strand::Where where) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            if (where == Strand::Where::pool) onPool.fetch_add(1);
            {
                std::lock_guard lock(mutex);
                seen.push_back(value);
            }
            inside.fetch_sub(1);
        };
    };
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < each; i += 2) {
                const int value = t * 1000 + i;
                // Every other pair hands its second piece over, as a connection does an answer.
                strand.dispatch([&, value, first = piece(value)](Strand::Where where) {
                    first(where);
                    if (value % 4 == 0) strand.continueOnPool(piece(value + 1));
                });
                if (value % 4 != 0) strand.dispatch(piece(value + 1));
            }
        });
    }
    for (auto& producer : producers) producer.join();
    ASSERT_TRUE(testing::waitUntil([&] {
        std::lock_guard lock(mutex);
        return seen.size() == threads * each;
    }));
    EXPECT_FALSE(overlapped);
    EXPECT_GT(onPool.load(), 0);
    std::lock_guard lock(mutex);
    std::vector<int> last(threads, -1);
    for (int value : seen) {
        EXPECT_EQ(value % 1000, last[value / 1000] + 1) << value;
        last[value / 1000] = value % 1000;
    }
}

}  // namespace
}  // namespace tavrel
