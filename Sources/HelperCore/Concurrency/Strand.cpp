#include "HelperCore/Concurrency/Strand.hpp"

#include <deque>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "HelperCore/Concurrency/JobFailures.hpp"

namespace tavrel {

struct Strand::State {
    explicit State(Submit submit) : submit(std::move(submit)) {}

    const Submit submit;
    std::mutex mutex;  // guards the fields below
    bool taken = false;
    std::deque<Work> queued;
};

namespace {

// The piece of work the calling thread runs for a strand, if any; an outer one when work on one
// strand dispatches to another that is free.
struct Running {
    const void* strand;
    Running* outer;
    bool handedOff = false;
};
thread_local Running* running = nullptr;

// Runs one piece of work; true when it handed the strand to the pool.
bool runOne(Strand::Work& work, Strand::Where where, const void* strand) {
    Running current{strand, running};
    running = &current;
    try {
        work(where);
    } catch (...) {
        JobFailures::reportCurrent("a strand");
    }
    running = current.outer;
    work = nullptr;  // its captures die before the next piece runs
    return current.handedOff;
}

}  // namespace

void Strand::drain(const std::shared_ptr<State>& state, Where where) {
    for (;;) {
        Work work;
        {
            std::lock_guard lock(state->mutex);
            if (state->queued.empty()) {
                state->taken = false;
                return;
            }
            work = std::move(state->queued.front());
            state->queued.pop_front();
        }
        if (runOne(work, where, state.get())) return;
    }
}

Strand::Strand(Submit submit) : state_(std::make_shared<State>(std::move(submit))) {}

Strand::~Strand() = default;

void Strand::dispatch(Work work) {
    const std::shared_ptr<State> state = state_;  // the work may end the strand's owner
    {
        std::lock_guard lock(state->mutex);
        if (state->taken) {
            state->queued.push_back(std::move(work));
            return;
        }
        state->taken = true;
    }
    if (runOne(work, Where::caller, state.get())) return;
    {
        std::lock_guard lock(state->mutex);
        if (state->queued.empty()) {
            state->taken = false;
            return;
        }
    }
    try {
        state->submit([state] { drain(state, Where::pool); });
    } catch (...) {
        // No worker at all: the queued work runs here rather than never.
        JobFailures::reportCurrent("a strand, run by its caller instead");
        drain(state, Where::caller);
    }
}

void Strand::continueOnPool(Work next) {
    if (running == nullptr || running->strand != state_.get() || running->handedOff) {
        throw std::logic_error("continueOnPool outside the work of its strand");
    }
    Running& current = *running;
    state_->submit([state = state_, next = std::move(next)]() mutable {
        if (!runOne(next, Where::pool, state.get())) drain(state, Where::pool);
    });
    current.handedOff = true;
}

}  // namespace tavrel
